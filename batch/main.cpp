#include <clocale>
#include <cstdio>

#include "core/files.h"
#include "batch/batch.h"
#include "batch/options.h"
#include "batch/pool.h"
#include "batch/runner.h"
#include "batch/usage.h"
#include "batch/worker.h"

#ifndef WORKBENCH_VERSION
#error "WORKBENCH_VERSION must be defined by the build"
#endif

int main(int argc, char* argv[]) {
    const Started started = HowStarted();
    if (started == Started::kByEndedRun) return 1;
    const std::vector<std::string> args(argv + 1, argv + argc);
    if (started == Started::kByRun && IsWorkerInvocation(args)) {
        files::InstallSignalCleanup();
        return RunWorker(args);
    }
    std::string error;
    const std::optional<Invocation> invocation = ParseCommandLine(args, error);
    if (!invocation) {
        std::fprintf(stderr, "workbench-batch: %s\nTry 'workbench-batch --help' for more.\n", error.c_str());
        return 2;
    }
    if (invocation->help) {
        std::fputs(kUsage, stdout);
        return std::fflush(stdout) == 0 ? 0 : 1;
    }
    if (invocation->version) {
        // The version, then the copyright and the licence, which help2man
        // turns into the manual page's COPYRIGHT section, a paragraph each.
        std::fputs("workbench-batch " WORKBENCH_VERSION "\n"
                   "Copyright (c) 2026 The Workbench project\n"
                   "\n"
                   "License: MIT <https://opensource.org/licenses/MIT>\n"
                   "This is free software: you are free to change and redistribute it.\n"
                   "There is NO WARRANTY, to the extent permitted by law.\n",
                   stdout);
        return std::fflush(stdout) == 0 ? 0 : 1;
    }

    files::InstallSignalCleanup();
    if (!EnterFolders(invocation->folders, error)) {
        std::fprintf(stderr, "workbench-batch: %s\n", error.c_str());
        return 1;
    }
    if (invocation->many) return RunMany(*invocation->many, invocation->rest);
    // The word chain speaks the user's language where the system does (the
    // reasons for errors this program has no words of its own for).
    std::setlocale(LC_ALL, "");
    return RunBatch(invocation->rest, stderr, invocation->page.value_or(1) - 1, stdout, invocation->settings,
                    invocation->simplify);
}
