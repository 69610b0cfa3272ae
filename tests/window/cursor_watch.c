/* Reports the pointer's cursor as the X server shows it, for the window
 * test: one line for the cursor now, then one line each time it changes,
 * for the given number of seconds. A line is the cursor's serial number
 * (each cursor the server knows has its own, so even a cursor that was
 * shown too briefly to be read back is seen), then its size, hot spot and a
 * hash of the pixels of the cursor shown when the line was written.
 *
 *   cursor_watch SECONDS
 */
#include <X11/Xlib.h>
#include <X11/extensions/Xfixes.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

static void print_cursor(Display* display, unsigned long serial) {
    XFixesCursorImage* image = XFixesGetCursorImage(display);
    if (image == NULL) {
        printf("%lu none\n", serial);
    } else {
        if (serial == 0) serial = image->cursor_serial;
        unsigned long long hash = 1469598103934665603ULL;
        for (int i = 0; i < image->width * image->height; i++) hash = (hash ^ (image->pixels[i] & 0xffffffffUL)) * 1099511628211ULL;
        printf("%lu %dx%d+%d+%d:%016llx\n", serial, image->width, image->height, image->xhot, image->yhot, hash);
        XFree(image);
    }
    fflush(stdout);
}

static double now(void) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec + t.tv_nsec / 1e9;
}

int main(int argc, char** argv) {
    const double seconds = argc > 1 ? atof(argv[1]) : 0;
    Display* display = XOpenDisplay(NULL);
    int event_base, error_base;
    if (display == NULL || !XFixesQueryExtension(display, &event_base, &error_base)) {
        fputs("cursor_watch: no X display with XFixes\n", stderr);
        return 2;
    }
    XFixesSelectCursorInput(display, DefaultRootWindow(display), XFixesDisplayCursorNotifyMask);
    XSync(display, False);
    print_cursor(display, 0);
    const double end = now() + seconds;
    struct pollfd fd = {ConnectionNumber(display), POLLIN, 0};
    while (now() < end) {
        while (XPending(display)) {
            XEvent event;
            XNextEvent(display, &event);
            if (event.type == event_base + XFixesCursorNotify)
                print_cursor(display, ((XFixesCursorNotifyEvent*)&event)->cursor_serial);
        }
        poll(&fd, 1, 20);
    }
    XCloseDisplay(display);
    return 0;
}
