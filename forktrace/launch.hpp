// Starts a program the way a shell would, with its standard output on a
// pseudo-terminal or on a pipe.
//
// On a terminal the program gets a session of its own with the terminal as
// its controlling terminal and its process group in the foreground, so the
// terminal's end-of-file, interrupt and job-control characters act on it as
// they do at a shell. A small session leader stands where the shell would:
// it waits for the program, hands its status on, and then puts its own group
// back in the foreground, so that processes that outlive the program go on
// writing in the background instead of being hung up. On a pipe the program
// runs in a session of its own, as its owner's child. Inheriting, it keeps
// its owner's streams, session and process group, as a command started by
// another command does.
//
// Only descriptors 0, 1 and 2 reach the program.
#pragma once

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include <sys/types.h>

namespace launch {

// An owned file descriptor, closed once.
class Fd {
public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    Fd(Fd &&other) noexcept : fd_(other.release()) {}
    Fd &operator=(Fd &&other) noexcept
    {
        reset(other.release());
        return *this;
    }
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    ~Fd() { reset(); }

    int get() const { return fd_; }
    bool open() const { return fd_ >= 0; }
    int release() { return std::exchange(fd_, -1); }
    void reset(int fd = -1);

private:
    int fd_ = -1;
};

enum class Mode { terminal, pipe, inherit };

struct Program {
    std::vector<std::string> argv;  // argv[0] is looked up on PATH when it has no slash
    std::string file;               // run instead of looking argv[0] up, when given
    std::vector<std::string> env;   // the whole environment, as NAME=value
    Mode mode = Mode::pipe;
    bool errors_apart = true;       // standard error on a pipe of its own, or with the output
    bool errors_inherited = false;  // standard error is its owner's
    unsigned short rows = 24, columns = 80;  // the terminal's size
    bool echo = true;                        // whether the terminal echoes its input
    // Runs in the program's process just before the exec, once its standard
    // streams are in place: to change directory, close a stream, or wait to be
    // traced. Only async-signal-safe work belongs here.
    std::function<void()> before_exec;
};

// A started program. Destroying it lets the terminal's session leader go;
// should the program's status not have been collected by then, its processes
// are killed first, so that nothing outlives its owner by mistake.
class Launched {
public:
    Launched() = default;
    Launched(Launched &&other) noexcept { *this = std::move(other); }
    Launched &operator=(Launched &&other) noexcept;
    Launched(const Launched &) = delete;
    Launched &operator=(const Launched &) = delete;
    ~Launched();

    pid_t pid() const { return pid_; }          // the program
    pid_t session() const { return session_; }  // the session its processes run in
    Fd &input() { return input_; }              // its standard input: a pipe, or the terminal
    Fd &output() { return output_; }            // its standard output, and error when not apart
    Fd &error() { return error_; }              // its standard error, when apart
    // Readable once the program has ended; then status() returns at once.
    int status_fd() const { return status_.open() ? status_.get() : pidfd_.get(); }
    // The program's wait status, once it has ended; waits until then.
    int status();
    // For an owner that reaps the program itself (its tracer, say).
    void collected_elsewhere() { collected_ = true; }
    // Kills every process of the program's group and its session leader.
    void kill_all() const;

private:
    friend Launched start(const Program &program);
    pid_t pid_ = -1, session_ = -1, leader_ = -1;
    bool collected_ = false;
    Fd input_, output_, error_;
    Fd status_;   // from the session leader: the program's status
    Fd release_;  // closed to let the session leader go
    Fd pidfd_;    // on a pipe: the program itself
};

// Throws std::system_error when the program cannot be started. A program that
// cannot be executed ends with status 127 when it is not found, 126 otherwise.
Launched start(const Program &program);

// What the terminal sends for end-of-file, as its line discipline reads it.
constexpr char end_of_file = '\x04';

}  // namespace launch
