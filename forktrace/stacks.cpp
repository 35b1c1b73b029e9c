#include "stacks.hpp"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string_view>

#include <dwarf.h>
#include <elfutils/libdw.h>
#include <elfutils/libdwfl.h>
#include <fcntl.h>
#include <gelf.h>
#include <sys/ptrace.h>
#include <sys/stat.h>
#include <sys/user.h>
#include <unistd.h>

#include "buffer.hpp"

namespace forktrace {

// One image's modules, and the thread being unwound in it now: the children
// a fork makes run the same modules, so one Dwfl serves them all, each
// unwind saying whose memory and registers it reads.
struct Stacks::Image {
    bool tried = false;  // to make the Dwfl: made, or failed for good
    Dwfl *dwfl = nullptr;
    pid_t pid = 0, tid = 0;
    user_regs_struct regs{};
    // The program's own module, the C library's, and where the functions
    // asked about are in it.
    std::string program;
    Dwfl_Module *main = nullptr, *libc = nullptr;
    struct Named {
        Dwarf_Addr start = 0, end = 0;
        std::string name;  // cppcheck-suppress unusedStructMember
    };
    std::vector<Named> named;
    // The page of the thread's memory read last, for the many reads of one
    // unwind, most of them near each other on its stack.
    Dwarf_Addr page_at = 0;
    std::string page;

    Image() = default;
    Image(const Image &) = delete;
    Image &operator=(const Image &) = delete;
    ~Image()
    {
        if (dwfl != nullptr) {
            dwfl_end(dwfl);
        }
    }
};

namespace {

Stacks::Image *image_of(void *arg) { return static_cast<Stacks::Image *>(arg); }

pid_t next_thread(Dwfl * /*dwfl*/, void *arg, void **thread)
{
    if (*thread != nullptr) {
        return 0;
    }
    *thread = arg;
    return image_of(arg)->tid;
}

bool get_thread(Dwfl * /*dwfl*/, pid_t tid, void *arg, void **thread)
{
    *thread = arg;
    return tid == image_of(arg)->tid;
}

bool memory_read(Dwfl * /*dwfl*/, Dwarf_Addr address, Dwarf_Word *result, void *arg)
{
    Stacks::Image &image = *image_of(arg);
    constexpr Dwarf_Addr page = 4096;
    const Dwarf_Addr start = address & ~(page - 1);
    if (address + sizeof *result > start + page) {
        const std::string word = read_memory(image.tid, address, sizeof *result);
        if (word.size() != sizeof *result) {
            return false;
        }
        std::memcpy(result, word.data(), sizeof *result);
        return true;
    }
    if (image.page.empty() || image.page_at != start) {
        image.page = read_memory(image.tid, start, page);
        image.page_at = start;
    }
    if (image.page.size() < address - start + sizeof *result) {
        return false;
    }
    std::memcpy(result, image.page.data() + (address - start), sizeof *result);
    return true;
}

// The registers in DWARF's x86-64 numbering: rax, rdx, rcx, rbx, rsi, rdi,
// rbp, rsp, r8 to r15, and the return address column, rip.
bool initial_registers(Dwfl_Thread *thread, void *arg)
{
    const user_regs_struct &r = image_of(arg)->regs;
    const Dwarf_Word registers[17] = {r.rax, r.rdx, r.rcx, r.rbx, r.rsi, r.rdi, r.rbp, r.rsp, r.r8,
                                      r.r9,  r.r10, r.r11, r.r12, r.r13, r.r14, r.r15, r.rip};
    return dwfl_thread_state_registers(thread, 0, 17, registers);
}

const Dwfl_Thread_Callbacks thread_callbacks{
    .next_thread = next_thread,
    .get_thread = get_thread,
    .memory_read = memory_read,
    .set_initial_registers = initial_registers,
    .detach = nullptr,
    .thread_detach = nullptr,
};

char *debuginfo_path = nullptr;
const Dwfl_Callbacks callbacks{
    .find_elf = dwfl_linux_proc_find_elf,
    .find_debuginfo = dwfl_standard_find_debuginfo,
    .section_address = nullptr,
    .debuginfo_path = &debuginfo_path,
};

struct Walk {
    Stacks::Image *image;
    std::vector<Frame> *frames;
    std::size_t most;
};

int on_frame(Dwfl_Frame *state, void *arg)
{
    const Walk &walk = *static_cast<Walk *>(arg);
    Dwarf_Addr pc = 0;
    bool activation = false;
    if (!dwfl_frame_pc(state, &pc, &activation)) {
        return DWARF_CB_ABORT;
    }
    // A return address is just past its call: the call is the byte before.
    Frame frame{.pc = activation ? pc : pc - 1, .function = {}, .in_libc = false};
    const Stacks::Image &image = *walk.image;
    frame.in_libc = image.libc != nullptr && dwfl_addrmodule(image.dwfl, frame.pc) == image.libc;
    if (frame.in_libc) {
        const auto named = std::find_if(image.named.begin(), image.named.end(),
                                        [pc = frame.pc](const Stacks::Image::Named &function) {
                                            return pc >= function.start && pc < function.end;
                                        });
        if (named != image.named.end()) {
            frame.function = named->name;
        }
    }
    walk.frames->push_back(std::move(frame));
    return walk.frames->size() < walk.most ? DWARF_CB_OK : DWARF_CB_ABORT;
}

// The start of the function after the one that starts at `start` (file
// addresses), from the sorted table of the module's call frame information
// (.eh_frame_hdr, each entry's start relative to the table, as GCC and the
// linkers write it): the end of a function without a symbol.
std::optional<Dwarf_Addr> function_end(Elf *elf, Dwarf_Addr start)
{
    std::size_t names = 0;
    if (elf_getshdrstrndx(elf, &names) != 0) {
        return std::nullopt;
    }
    for (Elf_Scn *section = elf_nextscn(elf, nullptr); section != nullptr;
         section = elf_nextscn(elf, section)) {
        GElf_Shdr header{};
        const char *name = gelf_getshdr(section, &header) == nullptr
                               ? nullptr
                               : elf_strptr(elf, names, header.sh_name);
        const Elf_Data *data = name == nullptr || std::strcmp(name, ".eh_frame_hdr") != 0
                                   ? nullptr
                                   : elf_getdata(section, nullptr);
        constexpr unsigned char datarel_sdata4 = 0x3b, udata4 = 0x03;
        const auto *bytes =
            data == nullptr ? nullptr : static_cast<const unsigned char *>(data->d_buf);
        if (bytes == nullptr || data->d_size < 12 || bytes[0] != 1 || bytes[2] != udata4 ||
            bytes[3] != datarel_sdata4) {
            continue;
        }
        std::uint32_t count = 0;
        std::memcpy(&count, bytes + 8, sizeof count);
        count = static_cast<std::uint32_t>(std::min<std::size_t>(count, (data->d_size - 12) / 8));
        const auto start_of = [&](std::uint32_t i) {
            std::int32_t offset = 0;
            std::memcpy(&offset, bytes + 12 + std::size_t{i} * 8, sizeof offset);
            return header.sh_addr + static_cast<Dwarf_Addr>(std::int64_t{offset});
        };
        for (std::uint32_t i = 0; i + 1 < count; ++i) {
            if (start_of(i) == start) {
                return start_of(i + 1);
            }
        }
    }
    return std::nullopt;
}

// A short function of the C library's that ends by jumping to another
// (`jmp rel32`, as _IO_flush_all goes to the library's own, unnamed flush of
// every stream, and fflush(NULL) to it): frames in the function it jumps
// to take its name.
void name_jump_targets(Stacks::Image &image, pid_t tid)
{
    constexpr Dwarf_Addr longest = 16, jump = 5;
    Dwarf_Addr bias = 0;
    Elf *elf = dwfl_module_getelf(image.libc, &bias);
    if (elf == nullptr) {
        return;
    }
    const std::vector<Stacks::Image::Named> stubs = image.named;
    for (const Stacks::Image::Named &stub : stubs) {
        const Dwarf_Addr size = stub.end - stub.start;
        const std::string code =
            size < jump || size > longest ? std::string() : read_memory(tid, stub.end - jump, jump);
        if (code.size() != jump || static_cast<unsigned char>(code[0]) != 0xe9) {
            continue;
        }
        std::int32_t offset = 0;
        std::memcpy(&offset, code.data() + 1, sizeof offset);
        const Dwarf_Addr target = stub.end + static_cast<Dwarf_Addr>(std::int64_t{offset});
        if (const auto end = function_end(elf, target - bias)) {
            image.named.push_back({target, *end + bias, stub.name});
        }
    }
}

// The program's module and the C library's among those reported, and the
// functions named in `functions` in the latter, from its symbol table.
void find_modules(Stacks::Image &image, const std::vector<std::string> &functions, pid_t tid)
{
    dwfl_getmodules(
        image.dwfl,
        [](Dwfl_Module *module, void ** /*userdata*/, const char *name, Dwarf_Addr /*start*/,
           void *arg) -> int {
            auto &found = *static_cast<Stacks::Image *>(arg);
            const std::string_view path = name != nullptr ? name : "";
            if (path.substr(path.rfind('/') + 1).starts_with("libc.so")) {
                found.libc = module;
            } else if (path == found.program) {
                found.main = module;
            }
            return DWARF_CB_OK;
        },
        &image, 0);
    if (image.libc == nullptr) {
        return;
    }
    const int symbols = dwfl_module_getsymtab(image.libc);
    for (int i = 0; i < symbols; ++i) {
        GElf_Sym symbol{};
        GElf_Addr address = 0;
        const char *name =
            dwfl_module_getsym_info(image.libc, i, &symbol, &address, nullptr, nullptr, nullptr);
        if (name == nullptr || GELF_ST_TYPE(symbol.st_info) != STT_FUNC || symbol.st_size == 0) {
            continue;
        }
        const std::string_view named = name;
        const std::string bare(named.substr(0, named.find('@')));  // without the version
        if (std::find(functions.begin(), functions.end(), bare) != functions.end()) {
            image.named.push_back({address, address + symbol.st_size, bare});
        }
    }
    name_jump_targets(image, tid);
}

// The line of `pc` found unit by unit, for a module whose units the quick
// lookup cannot find: without address ranges (.debug_aranges), as clang
// leaves them out, libdwfl finds no unit.
const char *line_in_units(Dwfl_Module *module, Dwarf_Addr pc, int &number, int &column)
{
    Dwarf_Addr bias = 0;
    Dwarf *dwarf = dwfl_module_getdwarf(module, &bias);
    if (dwarf == nullptr) {
        return nullptr;
    }
    std::size_t header = 0;
    for (Dwarf_Off unit = 0, next = 0;
         dwarf_nextcu(dwarf, unit, &next, &header, nullptr, nullptr, nullptr) == 0; unit = next) {
        Dwarf_Die die{};
        if (dwarf_offdie(dwarf, unit + header, &die) == nullptr ||
            dwarf_haspc(&die, pc - bias) <= 0) {
            continue;
        }
        Dwarf_Line *line = dwarf_getsrc_die(&die, pc - bias);
        if (line == nullptr || dwarf_lineno(line, &number) != 0) {
            return nullptr;
        }
        if (dwarf_linecol(line, &column) != 0) {
            column = 0;
        }
        return dwarf_linesrc(line, nullptr, nullptr);
    }
    return nullptr;
}

// Whether `file` is one of the system's headers (the C library's inline
// wrappers, the C++ library's templates), not the program's own source.
bool system_header(std::string_view file) { return file.starts_with("/usr/"); }

// Where the code at `pc`, inlined from a system header, was called from in
// the program's own source: the call site of the innermost inlined scope
// that is not itself in one. False when there is none.
bool inlined_from(Dwfl_Module *module, Dwarf_Addr pc, std::string &file, int &number, int &column)
{
    Dwarf_Addr bias = 0;
    Dwarf_Die *unit = dwfl_module_addrdie(module, pc, &bias);
    Dwarf_Files *files = nullptr;
    std::size_t count = 0;
    if (unit == nullptr || dwarf_getsrcfiles(unit, &files, &count) != 0) {
        return false;
    }
    Dwarf_Die *scopes = nullptr;
    const int depth = dwarf_getscopes(unit, pc - bias, &scopes);
    bool found = false;
    for (int i = 0; i < depth && !found; ++i) {
        Dwarf_Attribute attribute{};
        Dwarf_Word index = 0, line = 0, at = 0;
        if (dwarf_tag(&scopes[i]) != DW_TAG_inlined_subroutine ||
            dwarf_formudata(dwarf_attr(&scopes[i], DW_AT_call_file, &attribute), &index) != 0 ||
            dwarf_formudata(dwarf_attr(&scopes[i], DW_AT_call_line, &attribute), &line) != 0 ||
            index >= count) {
            continue;
        }
        const char *called_in = dwarf_filesrc(files, index, nullptr, nullptr);
        if (called_in == nullptr || system_header(called_in)) {
            continue;  // called from another header's inline code: further out
        }
        if (dwarf_formudata(dwarf_attr(&scopes[i], DW_AT_call_column, &attribute), &at) != 0) {
            at = 0;
        }
        file = called_in;
        number = static_cast<int>(line);
        column = static_cast<int>(at);
        found = true;
    }
    std::free(scopes);
    return found;
}

// Whether the ELF file at `path` has a line table.
bool file_has_lines(const std::string &path)
{
    if (elf_version(EV_CURRENT) == EV_NONE) {
        return false;
    }
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    Elf *elf = elf_begin(fd, ELF_C_READ, nullptr);
    std::size_t names = 0;
    bool found = false;
    if (elf != nullptr && elf_getshdrstrndx(elf, &names) == 0) {
        for (Elf_Scn *section = nullptr; !found && (section = elf_nextscn(elf, section));) {
            GElf_Shdr header{};
            const char *name = gelf_getshdr(section, &header) != nullptr
                                   ? elf_strptr(elf, names, header.sh_name)
                                   : nullptr;
            found = name != nullptr && (std::strcmp(name, ".debug_line") == 0 ||
                                        std::strcmp(name, ".zdebug_line") == 0);
        }
    }
    elf_end(elf);
    ::close(fd);
    return found;
}

}  // namespace

Stacks::Stacks(std::vector<std::string> functions) : functions_(std::move(functions)) {}
Stacks::~Stacks() = default;

std::shared_ptr<Stacks::Image> Stacks::image(pid_t pid, pid_t through)
{
    std::shared_ptr<Image> &entry = images_[pid];
    if (!entry) {
        entry = std::make_shared<Image>();
    }
    if (!entry->tried) {
        // The modules as this process has them mapped; a fork's children,
        // which share the entry, have them at the same addresses.
        entry->tried = true;
        Dwfl *dwfl = dwfl_begin(&callbacks);
        if (dwfl != nullptr) {
            dwfl_report_begin(dwfl);
            const int reported = dwfl_linux_proc_report(dwfl, through);
            if (dwfl_report_end(dwfl, nullptr, nullptr) != 0 || reported != 0 ||
                !dwfl_attach_state(dwfl, nullptr, pid, &thread_callbacks, entry.get())) {
                dwfl_end(dwfl);
                dwfl = nullptr;
            }
        }
        entry->dwfl = dwfl;
        if (dwfl != nullptr) {
            std::error_code error;
            entry->program =
                std::filesystem::read_symlink("/proc/" + std::to_string(through) + "/exe", error);
            find_modules(*entry, functions_, through);
        }
    }
    return entry->dwfl != nullptr ? entry : nullptr;
}

std::vector<Frame> Stacks::frames(pid_t pid, pid_t tid, std::size_t most)
{
    std::vector<Frame> frames;
    const std::shared_ptr<Image> found = image(pid, tid);
    if (!found) {
        return frames;
    }
    found->pid = pid;
    found->tid = tid;
    found->page.clear();  // another thread, or the same one later
    if (::ptrace(PTRACE_GETREGS, tid, nullptr, &found->regs) != 0) {
        return frames;
    }
    Walk walk{found.get(), &frames, most};
    dwfl_getthread_frames(found->dwfl, tid, on_frame, &walk);
    return frames;
}

std::optional<std::string> Stacks::call_site(pid_t pid, pid_t tid)
{
    for (const Frame &frame : frames(pid, tid)) {
        // The program's own call: past the C library, and past whatever
        // stands between it and the program (a sanitizer's interceptors).
        const std::shared_ptr<Image> found = image(pid, tid);
        Dwfl_Module *module = dwfl_addrmodule(found->dwfl, frame.pc);
        if (module == nullptr || module != found->main) {
            continue;
        }
        Dwfl_Line *line = dwfl_module_getsrc(module, frame.pc);
        int number = 0, column = 0;
        const char *file = line != nullptr
                               ? dwfl_lineinfo(line, nullptr, &number, &column, nullptr, nullptr)
                               : nullptr;
        if (file == nullptr) {
            file = line_in_units(module, frame.pc, number, column);
        }
        if (file == nullptr || number <= 0) {
            return std::nullopt;
        }
        std::string path = file;
        if (system_header(path)) {
            // Optimised: a header's inline wrapper (fortified printf, say)
            // stands where the program called it.
            static_cast<void>(inlined_from(module, frame.pc, path, number, column));
        }
        return path.substr(path.rfind('/') + 1) + ":" + std::to_string(number) +
               (column > 0 ? ":" + std::to_string(column) : "");
    }
    return std::nullopt;
}

bool Stacks::has_lines(pid_t pid, pid_t through)
{
    if (const auto known = lines_by_pid_.find(pid); known != lines_by_pid_.end()) {
        return known->second;
    }
    return lines_by_pid_[pid] = program_has_lines(through);
}

bool Stacks::program_has_lines(pid_t through)
{
    const std::string exe = "/proc/" + std::to_string(through) + "/exe";
    struct stat info {};
    if (::stat(exe.c_str(), &info) != 0) {
        return false;
    }
    const std::string key = std::to_string(info.st_dev) + ":" + std::to_string(info.st_ino);
    const auto [at, made] = lines_by_file_.try_emplace(key, false);
    if (made) {
        at->second = file_has_lines(exe);
    }
    return at->second;
}

void Stacks::forked(pid_t parent, pid_t child)
{
    if (const auto known = lines_by_pid_.find(parent); known != lines_by_pid_.end()) {
        lines_by_pid_[child] = known->second;
    }
    std::shared_ptr<Image> &entry = images_[parent];
    if (!entry) {
        entry = std::make_shared<Image>();
    }
    images_[child] = entry;
}

void Stacks::forget(pid_t pid)
{
    images_.erase(pid);
    lines_by_pid_.erase(pid);
}

}  // namespace forktrace
