// A look into a traced process's standard output buffer: the C library's
// `stdout` object, found through the library's ELF symbol table and the
// process's memory map, read with process_vm_readv. Its state is public in
// the library's installed headers: the flags say how it buffers, the put area
// which bytes are pending.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <cstdio>
#include <sys/types.h>

namespace forktrace {

// Up to `length` bytes of a traced process's memory at `address`; fewer where
// it ends or is not mapped.
std::string read_memory(pid_t pid, std::uint64_t address, std::size_t length);

enum class Buffering { unbuffered, line, full };

struct BufferState {
    Buffering buffering = Buffering::full;
    std::uint64_t put_start = 0;  // where pending bytes begin (and a flush writes from)
    std::uint64_t size = 0;       // of the buffer; 0 before its first use
    std::string pending;          // written to the buffer, not yet out
};

// A C library function that puts bytes in a stream's buffer, where it is in
// a process: its stream is `stdout` itself, or the argument in the register
// `stream` says (0 for the first argument, rdi; 1 rsi; 3 rcx), or one of
// its own on a descriptor (dprintf).
struct OutputFunction {
    std::uint64_t address = 0;
    int stream = -1;  // -1: always stdout; -3: never (a descriptor's own)
};

// Finds and reads the buffers. Where the C library sits is learned once per
// image (after each exec) and its symbols once per library file.
class BufferReader {
public:
    // The state of `pid`'s standard output buffer, or nothing when it cannot
    // be found: a static program, another C library, a buffer moved away.
    // It is read through thread `through` of it (when not 0): one still alive.
    std::optional<BufferState> read(pid_t pid, pid_t through = 0);
    // Only how many bytes are pending, the bytes themselves not read.
    std::optional<std::size_t> pending(pid_t pid, pid_t through = 0);
    // The value of `stdout`, the FILE the output functions are compared with.
    std::optional<std::uint64_t> stdout_file(pid_t pid, pid_t through = 0);
    // The output functions of `pid`'s C library, where they are; none when
    // it is not found.
    std::vector<OutputFunction> output_functions(pid_t pid, pid_t through = 0);

    // The image of `pid` has changed (an exec) or ended.
    void forget(pid_t pid) { images_.erase(pid); }

    // Offsets in a C library file.
    struct Library {
        std::uint64_t stdout_pointer = 0;              // of the `stdout` variable
        std::vector<OutputFunction> output_functions;  // at their offsets
    };

private:
    struct Image {
        bool found = false;
        std::uint64_t base = 0;  // where the library is mapped
        Library library;
    };
    const Image &image(pid_t pid, pid_t through);
    std::optional<std::pair<std::uint64_t, FILE>> file(pid_t pid, pid_t through);

    std::map<pid_t, Image> images_;
    std::map<std::string, std::optional<Library>> libraries_;
};

}  // namespace forktrace
