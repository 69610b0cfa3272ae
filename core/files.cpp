#include "core/files.h"

#include <atomic>
#include <cctype>
#include <vector>
#include <dirent.h>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>
#include <cwchar>
#include <cwctype>
#include <random>
#include <utility>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

// ---------------------------------------------------------------------------
// Names

FileName FileName::Join(const FileName& child) const {
    if (bytes_.empty()) return child;
    std::string joined = bytes_;
    if (joined.back() != '/') joined += '/';
    return FileName(joined + child.bytes_);
}

std::string FileName::Shown() const {
    std::string shown = "\"";
    static const char kHex[] = "0123456789abcdef";
    const auto escape = [&](unsigned char b) {
        shown += "\\x";
        shown += kHex[b >> 4];
        shown += kHex[b & 15];
    };
    for (std::size_t i = 0; i < bytes_.size();) {
        const auto b = static_cast<unsigned char>(bytes_[i]);
        const int length = files::Utf8Length(bytes_, i);
        if (length == 0) {
            escape(b);
            ++i;
        } else if (length == 1) {
            if (b == '\n') shown += "\\n";
            else if (b == '\t') shown += "\\t";
            else if (b == '"') shown += "\\\"";
            else if (b == '\\') shown += "\\\\";
            else if (b < 0x20 || b == 0x7F) escape(b);
            else shown += static_cast<char>(b);
            ++i;
        } else {
            // C1 controls (U+0080..U+009F) and the line and paragraph
            // separators move a terminal as control bytes do.
            const std::string_view character(bytes_.data() + i, static_cast<std::size_t>(length));
            char32_t code = static_cast<unsigned char>(character[0]) & (0x7F >> length);
            for (std::size_t k = 1; k < character.size(); ++k)
                code = (code << 6) | (static_cast<unsigned char>(character[k]) & 0x3F);
            if ((code >= 0x80 && code <= 0x9F) || code == 0x2028 || code == 0x2029)
                for (char c : character) escape(static_cast<unsigned char>(c));
            else
                shown += character;
            i += static_cast<std::size_t>(length);
        }
    }
    shown += '"';
    return shown;
}

namespace files {

int Utf8Length(std::string_view text, std::size_t i) {
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned lead = byte(i);
    int length;
    std::uint32_t code;
    if (lead < 0x80) return 1;
    if (lead >= 0xC2 && lead <= 0xDF) length = 2, code = lead & 0x1F;
    else if (lead >= 0xE0 && lead <= 0xEF) length = 3, code = lead & 0x0F;
    else if (lead >= 0xF0 && lead <= 0xF4) length = 4, code = lead & 0x07;
    else return 0;
    if (i + static_cast<std::size_t>(length) > text.size()) return 0;
    for (int k = 1; k < length; ++k) {
        const unsigned next = byte(i + static_cast<std::size_t>(k));
        if ((next & 0xC0) != 0x80) return 0;
        code = (code << 6) | (next & 0x3F);
    }
    const std::uint32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
    if (code < least[length] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return 0;
    return length;
}

std::string Shown(const std::string& bytes) { return FileName(bytes).Shown(); }

// ---------------------------------------------------------------------------
// Reasons

namespace {

// The system's text (in the locale's encoding, perhaps translated) in lower
// case, as UTF-8.
std::string LowerCase(const char* text) {
    std::string lower;
    std::mbstate_t in{};
    const char* end = text + std::strlen(text);
    while (text < end) {
        wchar_t character = 0;
        const std::size_t used = std::mbrtowc(&character, text, static_cast<std::size_t>(end - text), &in);
        if (used == 0 || used > static_cast<std::size_t>(end - text)) {
            // Not a character of the locale: the byte as it is, if it is text.
            if (static_cast<unsigned char>(*text) < 0x80) lower += *text;
            ++text;
            in = std::mbstate_t{};
            continue;
        }
        text += used;
        const auto code = static_cast<std::uint32_t>(std::towlower(static_cast<std::wint_t>(character)));
        // UTF-8, whatever the locale's encoding.
        if (code < 0x80) {
            lower += static_cast<char>(code);
        } else if (code < 0x800) {
            lower += static_cast<char>(0xC0 | (code >> 6));
            lower += static_cast<char>(0x80 | (code & 0x3F));
        } else if (code < 0x10000) {
            lower += static_cast<char>(0xE0 | (code >> 12));
            lower += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            lower += static_cast<char>(0x80 | (code & 0x3F));
        } else {
            lower += static_cast<char>(0xF0 | (code >> 18));
            lower += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
            lower += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            lower += static_cast<char>(0x80 | (code & 0x3F));
        }
    }
    return lower;
}

}  // namespace

std::string Reason(int error) {
    switch (error) {
    case ENOENT: return "no such file";
    case ENOTDIR: return "a folder in the path is not a folder";
    case EACCES:
    case EPERM: return "permission denied";
    case EISDIR: return "it is a folder";
    case ENOSPC: return "no space left on the disk";
    case EDQUOT: return "disk quota exceeded";
    case EFBIG: return "the file would be larger than the file size limit allows";
    case EROFS: return "the disk is read-only";
    case ENAMETOOLONG: return "the name is too long";
    case ENOMEM: return "not enough memory";
    case ELOOP: return "too many symbolic links";
    case EIO: return "input/output error";
    default: return LowerCase(std::strerror(error));
    }
}

std::string KindReason(unsigned mode) {
    if (S_ISDIR(mode)) return Reason(EISDIR);
    if (S_ISFIFO(mode)) return "it is a named pipe, not an ordinary file";
    if (S_ISSOCK(mode)) return "it is a socket, not an ordinary file";
    if (S_ISCHR(mode) || S_ISBLK(mode)) return "it is a device, not an ordinary file";
    return "it is not an ordinary file";
}

void FailRead(const FileName& name, const std::string& reason) {
    throw Exception("Cannot read " + name.Shown() + ": " + reason);
}

void FailWrite(const FileName& name, const std::string& reason) {
    throw Exception("Cannot write " + name.Shown() + ": " + reason);
}

namespace {


// ---------------------------------------------------------------------------
// The temporary being given its name, for the signal handler.
//
// The handler may run at any moment; it only reads the flag and the buffer
// and calls unlink, which is safe in a signal handler.

char pendingName[PATH_MAX + 1];
std::atomic<int> pendingSet{0};

void SetPending(const std::string& name) {
    pendingSet.store(0);
    if (name.size() > PATH_MAX) return;
    std::memcpy(pendingName, name.c_str(), name.size() + 1);
    pendingSet.store(1);
}

void ClearPending() { pendingSet.store(0); }

extern "C" void RemovePendingAndEnd(int signal) {
    if (pendingSet.load() != 0) ::unlink(pendingName);
    ::signal(signal, SIG_DFL);
    ::raise(signal);
}

std::string RandomSuffix() {
    static const char kLetters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    static std::mt19937_64 rng{std::random_device{}() ^ static_cast<std::uint64_t>(::getpid())};
    std::string suffix;
    for (int i = 0; i < 6; ++i) suffix += kLetters[rng() % (sizeof kLetters - 1)];
    return suffix;
}

// This machine's name as it appears in temporary names: letters, digits,
// dots and hyphens, at most 64 of them.
std::string HostTag() {
    char name[256] = {};
    ::gethostname(name, sizeof name - 1);
    std::string tag;
    for (const char* c = name; *c != 0 && tag.size() < 64; ++c)
        if (std::isalnum(static_cast<unsigned char>(*c)) || *c == '.' || *c == '-') tag += *c;
    return tag.empty() ? std::string("host") : tag;
}

// A temporary's name: the prefix, the machine, the process and six random
// characters, so that a later write can tell one whose writer is gone.
std::string TemporaryName(const std::string& folder) {
    static const std::string owner = HostTag() + '-' + std::to_string(::getpid()) + '-';
    return folder + '/' + files::kTemporaryPrefix + owner + RandomSuffix();
}

// Removes the temporaries in the folder that a process of this machine left
// when it was killed outright: their writer no longer runs. Temporaries of
// running processes, and of other machines sharing the folder, stay.
void RemoveAbandonedTemporaries(const std::string& folder) {
    static const std::string host = HostTag();
    DIR* dir = ::opendir(folder.c_str());
    if (dir == nullptr) return;
    std::vector<std::string> abandoned;
    const std::size_t prefix = sizeof files::kTemporaryPrefix - 1;
    while (const dirent* entry = ::readdir(dir)) {
        const std::string_view name(entry->d_name);
        if (!name.starts_with(files::kTemporaryPrefix)) continue;
        const std::size_t last = name.rfind('-');
        const std::size_t before = last != std::string_view::npos && last > 0 ? name.rfind('-', last - 1)
                                                                               : std::string_view::npos;
        if (before == std::string_view::npos || before < prefix || name.substr(prefix, before - prefix) != host)
            continue;
        // The process number: decimal digits only, as the writer put them.
        const std::string_view digits = name.substr(before + 1, last - before - 1);
        long pid = 0;
        bool number = !digits.empty() && digits.size() <= 18;
        for (char c : digits) {
            if (c < '0' || c > '9') number = false;
            else pid = pid * 10 + (c - '0');
        }
        if (!number || pid <= 0 || pid == ::getpid()) continue;
        if (::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH) abandoned.emplace_back(name);
    }
    ::closedir(dir);
    for (const std::string& name : abandoned) ::unlink((folder + '/' + name).c_str());
}

}  // namespace

// ---------------------------------------------------------------------------
// Reading

InputFile::InputFile(const FileName& name) : name_(name) {
    if (name.empty()) FailRead(name, Reason(ENOENT));
    // Looking before opening keeps a device from being opened at all; the
    // open itself does not wait either, for a file swapped in meanwhile.
    struct stat info {};
    if (::stat(name.c_str(), &info) != 0) FailRead(name, Reason(errno));
    if (!S_ISREG(info.st_mode)) FailRead(name, KindReason(info.st_mode));
    fd_ = ::open(name.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd_ < 0) FailRead(name, Reason(errno));
    if (::fstat(fd_, &info) != 0) {
        const int error = errno;
        ::close(std::exchange(fd_, -1));
        FailRead(name, Reason(error));
    }
    if (!S_ISREG(info.st_mode)) {
        ::close(std::exchange(fd_, -1));
        FailRead(name, KindReason(info.st_mode));
    }
    size_ = static_cast<std::uint64_t>(info.st_size);
}

InputFile::~InputFile() {
    if (fd_ >= 0) ::close(fd_);
}

std::size_t InputFile::Read(std::uint8_t* buffer, std::size_t size) {
    for (;;) {
        const ssize_t got = ::read(fd_, buffer, size);
        if (got >= 0) return static_cast<std::size_t>(got);
        if (errno != EINTR) FailRead(name_, Reason(errno));
    }
}

std::size_t InputFile::ReadFully(std::uint8_t* buffer, std::size_t size) {
    std::size_t done = 0;
    while (done < size) {
        const std::size_t got = Read(buffer + done, size - done);
        if (got == 0) break;
        done += got;
    }
    return done;
}

void InputFile::Rewind() {
    if (::lseek(fd_, 0, SEEK_SET) != 0) FailRead(name_, Reason(errno));
}

codec::RandomAccess ReadsAt(int fd, std::uint64_t size, const FileName& name, bool writing) {
    return {size, [fd, name, writing](std::uint64_t offset, std::uint8_t* buffer, std::size_t count) {
                for (;;) {
                    const ssize_t got = ::pread(fd, buffer, count, static_cast<off_t>(offset));
                    if (got >= 0) return static_cast<std::size_t>(got);
                    if (errno == EINTR) continue;
                    if (writing) FailWrite(name, Reason(errno));
                    FailRead(name, Reason(errno));
                }
            }};
}

codec::RandomAccess InputFile::Access() { return ReadsAt(fd_, size_, name_); }

// ---------------------------------------------------------------------------
// Writing

OutputFile::OutputFile(const FileName& target, Durability durability) : target_(target), durability_(durability) {
    if (target.empty()) FailWrite(target, Reason(ENOENT));
    const std::string& path = target.bytes();
    if (path.back() == '/') FailWrite(target, Reason(EISDIR));
    const std::size_t slash = path.rfind('/');
    folder_ = slash == std::string::npos ? std::string(".") : slash == 0 ? std::string("/") : path.substr(0, slash);
    const std::string leaf = slash == std::string::npos ? path : path.substr(slash + 1);
    if (leaf.size() > NAME_MAX) FailWrite(target, Reason(ENAMETOOLONG));

    struct stat info {};
    if (::stat(path.c_str(), &info) == 0) {
        if (!S_ISREG(info.st_mode)) FailWrite(target, KindReason(info.st_mode));
        // Root may write anything; a file without write permission is still
        // kept as the user marked it.
        if ((info.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0 || ::access(path.c_str(), W_OK) != 0)
            FailWrite(target, "the file is read-only");
        mode_ = info.st_mode & 07777;
    } else if (errno == ENOENT) {
        // Read once: the program never changes its umask, and reading it
        // means setting it for a moment.
        static const mode_t mask = [] {
            const mode_t current = ::umask(0);
            ::umask(current);
            return current;
        }();
        mode_ = (0666 & ~mask) | S_IWUSR;
    } else {
        FailWrite(target, Reason(errno));
    }

    struct stat where {};
    if (::stat(folder_.c_str(), &where) != 0) {
        const int error = errno;
        FailWrite(target, error == ENOENT ? "no such folder" : Reason(error));
    }
    if (!S_ISDIR(where.st_mode)) FailWrite(target, Reason(ENOTDIR));
    if (durability_ != Durability::kFlushedByCaller) RemoveAbandonedTemporaries(folder_);

    // An unnamed file in the folder vanishes by itself however the program
    // ends; it gets a name only for the moment of the rename.
    fd_ = ::open(folder_.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd_ >= 0) return;
    const int error = errno;
    if (error != EOPNOTSUPP && error != EISDIR && error != EINVAL && error != ENOENT)
        FailWrite(target, Reason(error));

    // Where the file system has no unnamed files, a named temporary stands in
    // and the signal handler knows its name from the start.
    for (int attempt = 0; attempt < 100; ++attempt) {
        temporary_ = TemporaryName(folder_);
        SetPending(temporary_);
        fd_ = ::open(temporary_.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd_ >= 0) {
            named_ = true;
            return;
        }
        ClearPending();
        if (errno != EEXIST) FailWrite(target, Reason(errno));
    }
    FailWrite(target, Reason(EEXIST));
}

OutputFile::~OutputFile() { Discard(); }

codec::RandomAccess OutputFile::WrittenSoFar(std::uint64_t size) const {
    return ReadsAt(fd_, size, target_, /*writing=*/true);
}

void OutputFile::Discard() noexcept {
    if (fd_ >= 0) ::close(std::exchange(fd_, -1));
    if (named_) {
        ::unlink(temporary_.c_str());
        named_ = false;
        ClearPending();
    }
}

void OutputFile::Write(const std::uint8_t* bytes, std::size_t size) {
    while (size > 0) {
        const ssize_t done = ::write(fd_, bytes, size);
        if (done < 0 && errno == EINTR) continue;
        if (done < 0) {
            const int error = errno;
            Discard();
            FailWrite(target_, Reason(error));
        }
        if (done == 0) {
            Discard();
            FailWrite(target_, Reason(ENOSPC));
        }
        bytes += done;
        size -= static_cast<std::size_t>(done);
    }
}

void OutputFile::WriteAt(std::uint64_t offset, const std::uint8_t* bytes, std::size_t size) {
    while (size > 0) {
        const ssize_t done = ::pwrite(fd_, bytes, size, static_cast<off_t>(offset));
        if (done < 0 && errno == EINTR) continue;
        if (done <= 0) {
            const int error = done < 0 ? errno : ENOSPC;
            Discard();
            FailWrite(target_, Reason(error));
        }
        bytes += done;
        offset += static_cast<std::uint64_t>(done);
        size -= static_cast<std::size_t>(done);
    }
}

void OutputFile::Commit() {
    const auto fail = [this](int error) {
        Discard();
        FailWrite(target_, Reason(error));
    };
    if (fd_ < 0) fail(EBADF);
    if (::fchmod(fd_, mode_) != 0) fail(errno);
    if (durability_ == Durability::kFlushedEach && ::fsync(fd_) != 0) fail(errno);
    if (!named_) {
        // Give the unnamed file a name beside the target, then rename it.
        const std::string self = "/proc/self/fd/" + std::to_string(fd_);
        for (int attempt = 0;; ++attempt) {
            temporary_ = TemporaryName(folder_);
            SetPending(temporary_);
            int linked = ::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, temporary_.c_str(), AT_SYMLINK_FOLLOW);
            if (linked != 0 && errno == ENOENT)  // no /proc: root can link the descriptor itself
                linked = ::linkat(fd_, "", AT_FDCWD, temporary_.c_str(), AT_EMPTY_PATH);
            if (linked == 0) break;
            const int error = errno;
            ClearPending();
            if (error != EEXIST || attempt == 100) fail(error);
        }
        named_ = true;
    }
    if (::close(std::exchange(fd_, -1)) != 0) fail(errno);
    if (::rename(temporary_.c_str(), target_.c_str()) != 0) fail(errno);
    named_ = false;
    ClearPending();
    if (durability_ == Durability::kFlushedByCaller) return;
    // The rename itself reaches the disk with the folder.
    const int folder = ::open(folder_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder >= 0) {
        ::fsync(folder);
        ::close(folder);
    }
}

void InstallSignalCleanup() {
    ::signal(SIGXFSZ, SIG_IGN);
    struct sigaction action {};
    action.sa_handler = RemovePendingAndEnd;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESETHAND;
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
        struct sigaction previous {};
        // A signal ignored by whoever started the program stays ignored
        // (nohup, a shell's background job).
        if (::sigaction(signal, nullptr, &previous) == 0 && previous.sa_handler == SIG_IGN) continue;
        ::sigaction(signal, &action, nullptr);
    }
}

}  // namespace files
