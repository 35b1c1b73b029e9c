// Where each line was printed. In a program with line information, the
// C library's output functions (printf, puts, fputs, fwrite, …) get a
// breakpoint each once the library is loaded, which is at the program's entry
// point. When a call to stdout's buffer meets one, the bytes pending so far
// are credited to the call before, and the call's place in the source is
// noted for the bytes it adds. The breakpoint's byte is put back for one step
// of the call, then set again.
#include "tracer.hpp"

#include <algorithm>
#include <array>
#include <filesystem>
#include <csignal>
#include <fstream>

#include <elf.h>
#include <sys/ptrace.h>
#include <sys/user.h>

namespace forktrace {
namespace {

constexpr std::uint8_t int3 = 0xCC;
// Output calls looked at per process, at most: past them, where its bytes
// were printed is unknown, and its calls run at full speed again.
constexpr std::size_t most_prints = 10000;

// The program's entry point, from the auxiliary vector the kernel gave it.
std::uint64_t entry_point(pid_t tid)
{
    std::ifstream auxv("/proc/" + std::to_string(tid) + "/auxv", std::ios::binary);
    std::array<std::uint64_t, 2> pair{};
    while (auxv.read(reinterpret_cast<char *>(pair.data()), sizeof pair)) {
        if (pair[0] == AT_ENTRY) {
            return pair[1];
        }
        if (pair[0] == AT_NULL) {
            break;
        }
    }
    return 0;
}

// The addresses the executable `tid` runs is mapped at, lowest to highest.
std::pair<std::uint64_t, std::uint64_t> executable_range(pid_t tid)
{
    std::error_code error;
    const std::string exe =
        std::filesystem::read_symlink("/proc/" + std::to_string(tid) + "/exe", error).string();
    std::ifstream maps("/proc/" + std::to_string(tid) + "/maps");
    std::uint64_t start = ~std::uint64_t{0}, end = 0;
    for (std::string line; !exe.empty() && std::getline(maps, line);) {
        if (line.size() > exe.size() && line.ends_with(" " + exe)) {
            start = std::min<std::uint64_t>(
                start, std::stoull(line.substr(0, line.find('-')), nullptr, 16));
            end = std::max<std::uint64_t>(
                end, std::stoull(line.substr(line.find('-') + 1), nullptr, 16));
        }
    }
    return start < end ? std::pair{start, end} : std::pair{std::uint64_t{0}, std::uint64_t{0}};
}

// Whether SIGTRAP is blocked, ignored or caught in `tid`: a breakpoint met
// then would set it back to its default, and unblock it, as the kernel does
// for a trap the program cannot take.
bool trap_taken_over(pid_t tid)
{
    std::ifstream status("/proc/" + std::to_string(tid) + "/status");
    constexpr std::uint64_t trap = std::uint64_t{1} << (SIGTRAP - 1);
    bool taken = false;
    for (std::string line; std::getline(status, line);) {
        for (const char *field : {"SigBlk:", "SigIgn:", "SigCgt:"}) {
            if (line.starts_with(field)) {
                taken = taken || (std::stoull(line.substr(7), nullptr, 16) & trap) != 0;
            }
        }
    }
    return taken;
}

// Writes `byte` at `address` of the stopped thread's memory, and gives the
// byte it replaced.
std::optional<std::uint8_t> poke_byte(pid_t tid, std::uint64_t address, std::uint8_t byte)
{
    errno = 0;
    const long word = ::ptrace(PTRACE_PEEKTEXT, tid, address, 0);
    if (errno != 0) {
        return std::nullopt;
    }
    const auto before = static_cast<std::uint64_t>(word);
    const std::uint64_t after = (before & ~std::uint64_t{0xFF}) | byte;
    if (::ptrace(PTRACE_POKETEXT, tid, address, after) != 0) {
        return std::nullopt;
    }
    return static_cast<std::uint8_t>(before & 0xFFU);
}

}  // namespace

void Tracer::break_at_entry(pid_t tid, const Task &task)
{
    breakpoints_.erase(task.tgid);
    if (!stacks_.has_lines(task.tgid, tid) || trap_taken_over(tid)) {
        return;  // no place to tell, or no breakpoint to be had
    }
    const std::uint64_t entry = entry_point(tid);
    if (entry == 0) {
        return;
    }
    if (const auto replaced = poke_byte(tid, entry, int3)) {
        Breakpoints &points = breakpoints_[task.tgid];
        points.entry = entry;
        points.replaced[entry] = *replaced;
    }
}

void Tracer::break_at_output_functions(pid_t tid, const Task &task, Breakpoints &points)
{
    std::tie(points.program_start, points.program_end) = executable_range(tid);
    for (const OutputFunction &function : buffers_.output_functions(task.tgid, tid)) {
        if (const auto replaced = poke_byte(tid, function.address, int3)) {
            points.at[function.address] = function.stream;
            points.replaced[function.address] = *replaced;
        }
    }
}

// Where `group`'s bytes are printed is looked for no more: what is pending is
// credited, and the breakpoints are taken out through its thread `tid`.
void Tracer::stop_breaking(pid_t tid, pid_t group, const std::string &why)
{
    const auto found = breakpoints_.find(group);
    if (found == breakpoints_.end()) {
        return;
    }
    if (said_unprinted_.insert(why).second && setup_.say) {
        tell("where process " + std::to_string(group) +
             "'s later lines were printed is unknown: " + why);
    }
    Process &owner = buffer_owner(processes_[group]);
    if (const auto pending = buffers_.pending(group, tid)) {
        carry_own(owner, group, *pending);
    }
    owner.print_site.reset();
    for (const auto &[address, byte] : found->second.replaced) {
        static_cast<void>(poke_byte(tid, address, byte));
    }
    breakpoints_.erase(found);
}

// A SIGTRAP stop: whether it is one of the breakpoints, and if so, on with
// the call.
bool Tracer::on_breakpoint(pid_t tid, Task &task)
{
    const auto found = breakpoints_.find(task.tgid);
    if (found == breakpoints_.end()) {
        return false;
    }
    Breakpoints &points = found->second;
    user_regs_struct regs{};
    if (::ptrace(PTRACE_GETREGS, tid, 0, &regs) != 0 || !points.replaced.contains(regs.rip - 1)) {
        return false;
    }
    const std::uint64_t address = regs.rip - 1;
    regs.rip = address;  // the call begins again, at its first instruction
    static_cast<void>(::ptrace(PTRACE_SETREGS, tid, 0, &regs));
    if (address == points.entry) {
        // The C library is loaded now; the entry point runs on as it was.
        static_cast<void>(poke_byte(tid, address, points.replaced[address]));
        points.replaced.erase(address);
        points.entry = 0;
        break_at_output_functions(tid, task, points);
        resume(tid);
        return true;
    }
    on_print(tid, task, points.at[address], regs);  // which may take the breakpoints out
    const auto still = breakpoints_.find(task.tgid);
    if (still == breakpoints_.end() || !still->second.replaced.contains(address)) {
        resume(tid);  // no longer looked at
        return true;
    }
    static_cast<void>(poke_byte(tid, address, still->second.replaced[address]));
    task.stepping = address;
    static_cast<void>(::ptrace(PTRACE_SINGLESTEP, tid, 0, 0));
    return true;
}

// The thread has stepped past a breakpoint, or stopped before it could: the
// breakpoint is set again.
void Tracer::stepped_over(pid_t tid, Task &task)
{
    const std::uint64_t address = std::exchange(task.stepping, 0);
    const auto found = breakpoints_.find(task.tgid);
    if (found != breakpoints_.end() && found->second.replaced.contains(address)) {
        static_cast<void>(poke_byte(tid, address, int3));
    }
}

// An output call, its arguments in `regs`: when its stream is stdout, the
// bytes pending are the last call's, and those it adds are its own.
void Tracer::on_print(pid_t tid, const Task &task, int stream, const user_regs_struct &regs)
{
    Process &process = processes_[task.tgid];
    Process &owner = buffer_owner(process);
    if (++process.prints > most_prints) {
        stop_breaking(tid, task.tgid,
                      "it made more than " + std::to_string(most_prints) +
                          " calls of the C library's output functions, the most followed");
        return;
    }
    bool on_stdout = stream == -1;
    if (stream >= 0) {
        const std::array<std::uint64_t, 4> arguments{regs.rdi, regs.rsi, regs.rdx, regs.rcx};
        const auto file = buffers_.stdout_file(task.tgid, tid);
        on_stdout = file && arguments.at(static_cast<std::size_t>(stream)) == *file;
    }
    if (const auto pending = buffers_.pending(task.tgid, tid)) {
        carry_own(owner, task.tgid, *pending);
    }
    // A call on another stream, which may be another FILE of descriptor 1:
    // what it writes there is not stdout's.
    owner.print_site = on_stdout ? print_site(tid, task, regs.rsp) : std::nullopt;
}

// The place of the call that an output function was entered from, its
// return address on the top of the stack: found by unwinding the first time,
// and kept for a return address in the program itself, whose place is always
// the same.
std::optional<std::string> Tracer::print_site(pid_t tid, const Task &task, std::uint64_t stack)
{
    Breakpoints &points = breakpoints_[task.tgid];
    errno = 0;
    const auto back = static_cast<std::uint64_t>(::ptrace(PTRACE_PEEKDATA, tid, stack, 0));
    const bool in_program = errno == 0 && back >= points.program_start && back < points.program_end;
    if (in_program) {
        if (const auto known = points.sites.find(back); known != points.sites.end()) {
            return known->second;
        }
    }
    std::optional<std::string> site = site_of(task.tgid, tid);
    if (in_program) {
        points.sites[back] = site;
    }
    return site;
}

}  // namespace forktrace
