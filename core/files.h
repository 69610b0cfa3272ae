// The program's file plumbing: names kept as the bytes the system uses,
// reads that never block and never take anything but an ordinary file,
// writes that replace a file whole or not at all, and the plain reasons that
// messages give when any of these fails.
//
//   Cannot read "A.bmp": no such file
//   Cannot write "out\xfe.bmp": the disk is read-only
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>

#include "codec/decode.h"

// The error a failing command raises; whoever ran the command shows its
// message (the window in a message box, workbench-batch on standard error).
class Exception : public std::runtime_error {
public:
    explicit Exception(const std::string& message) : std::runtime_error(message) {}
    // The message as UTF-8 text.
    std::string Message() const { return what(); }
};

// A file name exactly as the system spells it. A name given as bytes (a
// command-line word) is used byte for byte, whether or not it is UTF-8; the
// window encodes a name from a dialog as the system encodes names.
class FileName {
public:
    FileName() = default;
    FileName(const char* bytes) : bytes_(bytes) {}
    FileName(std::string bytes) : bytes_(std::move(bytes)) {}

    const std::string& bytes() const { return bytes_; }
    const char* c_str() const { return bytes_.c_str(); }
    bool empty() const { return bytes_.empty(); }
    // This name followed by "/" and another.
    FileName Join(const FileName& child) const;

    // The name as a message shows it, in double quotes, on one line: bytes
    // that are not UTF-8, control characters, the quote and the backslash are
    // written as \xNN (or \n, \t, \", \\).
    std::string Shown() const;

    friend bool operator==(const FileName&, const FileName&) = default;

private:
    std::string bytes_;
};

namespace files {

// The length of the UTF-8 sequence that starts at text[i]: 1 to 4, or 0 when
// the bytes there are not a valid, shortest-form sequence of a character
// (a surrogate, past U+10FFFF, cut short). The one test of UTF-8 that names
// in messages and in reports share.
int Utf8Length(std::string_view text, std::size_t i);

// FileName(bytes).Shown().
std::string Shown(const std::string& bytes);

// The plain words for a system error number, e.g. "no such file".
std::string Reason(int error);

// What a file that is not an ordinary file is, from its st_mode, e.g. "it is
// a named pipe, not an ordinary file".
std::string KindReason(unsigned mode);

// Throw "Cannot read NAME: REASON" and "Cannot write NAME: REASON".
[[noreturn]] void FailRead(const FileName& name, const std::string& reason);
[[noreturn]] void FailWrite(const FileName& name, const std::string& reason);

// The first `size` bytes of the open file `fd` read at any place, for the
// picture decoders; a read that fails throws "Cannot read NAME: ..." (or
// "Cannot write NAME: ..." for a file being written). The descriptor must
// stay open while the reads are used.
codec::RandomAccess ReadsAt(int fd, std::uint64_t size, const FileName& name, bool writing = false);

// A file opened for reading. Opening never waits: a named pipe, a device or
// a socket is refused before anything is read from it, as is a folder.
class InputFile {
public:
    explicit InputFile(const FileName& name);
    ~InputFile();
    InputFile(const InputFile&) = delete;
    InputFile& operator=(const InputFile&) = delete;

    const FileName& name() const { return name_; }
    // The size the file had when it was opened.
    std::uint64_t size() const { return size_; }
    // Reads up to size bytes from the current place; 0 only at the end.
    std::size_t Read(std::uint8_t* buffer, std::size_t size);
    // Reads until buffer is full or the file ends; returns how many.
    std::size_t ReadFully(std::uint8_t* buffer, std::size_t size);
    // Goes back to the first byte.
    void Rewind();
    // The file read at any place, for the picture decoders: reads that fail
    // throw Exception naming the file. Valid while this object lives.
    codec::RandomAccess Access();
    int descriptor() const { return fd_; }

private:
    FileName name_;
    int fd_ = -1;
    std::uint64_t size_ = 0;
};

// How Commit makes a file last through a crash or a power cut.
enum class Durability {
    // Commit flushes the file to the disk before the rename, and the folder
    // after it: once Commit returns, the new content is on the disk.
    kFlushedEach,
    // Commit only renames: the caller flushes many files at once later
    // (syncfs), and until then a crash may leave the target missing, empty
    // or short. For writers that record what is complete only after that
    // flush. Such a writer owns its folder and has tidied it before
    // writing, so the folder is not searched for temporaries left behind.
    kFlushedByCaller,
};

// A file written whole or not at all. The bytes go to a temporary file in
// the target's folder, which only Commit renames over the target once every
// byte is written (and, by default, on the disk); until then the target
// keeps its earlier content. A file that is not committed, or whose writing
// fails, leaves nothing behind, and neither does an interruption by SIGINT,
// SIGTERM or SIGHUP once InstallSignalCleanup has run.
//
// A target that exists must be an ordinary file with write permission: a
// file the user made read-only is never replaced, even by root. A new file
// gets the permissions the umask allows, always writable by its owner.
// Writing first removes temporaries in the folder that ended processes of
// this machine left behind (unless the caller flushes, see Durability).
class OutputFile {
public:
    explicit OutputFile(const FileName& target, Durability durability = Durability::kFlushedEach);
    ~OutputFile();
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    void Write(const std::uint8_t* bytes, std::size_t size);
    // Writes at a place of the file, which grows to hold what is written;
    // the place Write goes on from does not move.
    void WriteAt(std::uint64_t offset, const std::uint8_t* bytes, std::size_t size);
    void Commit();
    // The first `size` bytes written, read back at any place: reads that
    // fail throw Exception naming the file as one being written. Valid
    // until Commit.
    codec::RandomAccess WrittenSoFar(std::uint64_t size) const;
    // The file being written.
    int descriptor() const { return fd_; }

private:
    void Discard() noexcept;

    FileName target_;
    Durability durability_;
    std::string folder_;
    int fd_ = -1;
    bool named_ = false;  // the temporary has a name in the folder
    std::string temporary_;
    unsigned mode_ = 0644;
};

// Called once at start-up by both programs. A write past the file size limit
// (ulimit -f) fails with a message instead of killing the program, and SIGINT,
// SIGTERM and SIGHUP remove a temporary file being written before the
// program ends as the signal asks.
void InstallSignalCleanup();

// The prefix of every temporary file name. The rest names the machine, the
// process and six random characters (".workbench-HOST-PID-XXXXXX"); each
// write in a folder first removes the temporaries there whose process on
// this machine has ended (killed outright, in the moment a temporary has a
// name).
inline constexpr char kTemporaryPrefix[] = ".workbench-";

}  // namespace files
