#include "buffer.hpp"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <string_view>
#include <sstream>
#include <vector>

#include <fcntl.h>
#include <gelf.h>
#include <libelf.h>
#include <sys/uio.h>
#include <unistd.h>

namespace forktrace {
namespace {

// The flags of the C library's FILE (the high half is a magic number that
// tells a FILE from anything else).
constexpr unsigned magic_mask = 0xFFFF0000U, magic = 0xFBAD0000U;
constexpr unsigned unbuffered = 0x0002U, line_buffered = 0x0200U;
constexpr std::uint64_t most_pending = 1U << 20U;

template <typename Value>
std::optional<Value> read_value(pid_t pid, std::uint64_t address)
{
    const std::string bytes = read_memory(pid, address, sizeof(Value));
    if (bytes.size() != sizeof(Value)) {
        return std::nullopt;
    }
    Value value{};
    std::memcpy(&value, bytes.data(), sizeof value);
    return value;
}

// The C library's functions that put bytes in a stream's buffer, by where
// their stream comes from (see OutputFunction).
int output_stream_of(std::string_view name)
{
    static const std::map<std::string_view, int> functions{{"printf", -1},
                                                           {"vprintf", -1},
                                                           {"puts", -1},
                                                           {"putchar", -1},
                                                           {"__printf_chk", -1},
                                                           {"__vprintf_chk", -1},
                                                           {"putchar_unlocked", -1},
                                                           {"fprintf", 0},
                                                           {"vfprintf", 0},
                                                           {"__fprintf_chk", 0},
                                                           {"__vfprintf_chk", 0},
                                                           {"fputs", 1},
                                                           {"fputc", 1},
                                                           {"putc", 1},
                                                           {"fputs_unlocked", 1},
                                                           {"fputc_unlocked", 1},
                                                           {"putc_unlocked", 1},
                                                           {"fwrite", 3},
                                                           {"fwrite_unlocked", 3},
                                                           {"dprintf", -3},
                                                           {"vdprintf", -3}};
    const auto found = functions.find(name);
    return found == functions.end() ? -2 : found->second;  // -2: none of them
}

// The symbols that matter in a C library file, from its dynamic symbol table.
std::optional<BufferReader::Library> symbols_of(const std::string &path)
{
    if (elf_version(EV_CURRENT) == EV_NONE) {
        return std::nullopt;
    }
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return std::nullopt;
    }
    Elf *elf = elf_begin(fd, ELF_C_READ, nullptr);
    std::optional<GElf_Sym> out;
    std::map<std::uint64_t, int> functions;  // by address: one function may have several names
    for (Elf_Scn *section = nullptr; elf != nullptr && (section = elf_nextscn(elf, section));) {
        GElf_Shdr header{};
        if (gelf_getshdr(section, &header) == nullptr || header.sh_type != SHT_DYNSYM ||
            header.sh_entsize == 0) {
            continue;
        }
        Elf_Data *data = elf_getdata(section, nullptr);
        for (std::size_t i = 0; data != nullptr && i < header.sh_size / header.sh_entsize; ++i) {
            GElf_Sym symbol{};
            if (gelf_getsym(data, static_cast<int>(i), &symbol) == nullptr ||
                symbol.st_shndx == SHN_UNDEF) {
                continue;
            }
            const char *name = elf_strptr(elf, header.sh_link, symbol.st_name);
            const std::string_view named = name != nullptr ? name : "";
            // Of several versions of one name, the largest is the current one.
            if (named == "stdout" && (!out || symbol.st_size > out->st_size)) {
                out = symbol;
            }
            if (const int stream = output_stream_of(named);
                stream != -2 && GELF_ST_TYPE(symbol.st_info) == STT_FUNC) {
                functions[symbol.st_value] = stream;
            }
        }
    }
    elf_end(elf);
    ::close(fd);
    if (!out) {
        return std::nullopt;
    }
    BufferReader::Library library{out->st_value, {}};
    for (const auto &[address, stream] : functions) {
        library.output_functions.push_back({address, stream});
    }
    return library;
}

}  // namespace

std::string read_memory(pid_t pid, std::uint64_t address, std::size_t length)
{
    std::string bytes(length, '\0');
    std::size_t done = 0;
    while (done < length) {
        const iovec local{bytes.data() + done, length - done};
        // NOLINTNEXTLINE(performance-no-int-to-ptr): an address in the tracee, never used here
        const iovec remote{reinterpret_cast<void *>(address + done), length - done};
        const ssize_t n = ::process_vm_readv(pid, &local, 1, &remote, 1, 0);
        if (n <= 0) {
            break;
        }
        done += static_cast<std::size_t>(n);
    }
    bytes.resize(done);
    return bytes;
}

const BufferReader::Image &BufferReader::image(pid_t pid, pid_t through)
{
    const auto [at, made] = images_.try_emplace(pid);
    Image &image = at->second;
    if (!made) {
        return image;
    }
    // The C library's mapping at file offset 0 is its base.
    std::ifstream maps("/proc/" + std::to_string(through) + "/maps");
    for (std::string line; std::getline(maps, line);) {
        std::istringstream fields(line);
        std::string range, permissions, offset, device, inode, path;
        fields >> range >> permissions >> offset >> device >> inode >> path;
        const std::string name = path.substr(path.rfind('/') + 1);
        if (!name.starts_with("libc.so") || std::stoull(offset, nullptr, 16) != 0) {
            continue;
        }
        auto [known, fresh] = libraries_.try_emplace(path);
        if (fresh) {
            known->second = symbols_of(path);
        }
        if (known->second) {
            image.found = true;
            image.base = std::stoull(range.substr(0, range.find('-')), nullptr, 16);
            image.library = *known->second;
        }
        break;
    }
    return image;
}

// The address and contents of `pid`'s `stdout` FILE, when it is one.
std::optional<std::pair<std::uint64_t, FILE>> BufferReader::file(pid_t pid, pid_t through)
{
    through = through == 0 ? pid : through;
    const Image &found = image(pid, through);
    if (!found.found) {
        return std::nullopt;
    }
    const auto file = read_value<std::uint64_t>(through, found.base + found.library.stdout_pointer);
    if (!file || *file == 0) {
        return std::nullopt;
    }
    const auto raw = read_value<FILE>(through, *file);
    if (!raw || (static_cast<unsigned>(raw->_flags) & magic_mask) != magic) {
        return std::nullopt;
    }
    return std::pair{*file, *raw};
}

std::optional<std::uint64_t> BufferReader::stdout_file(pid_t pid, pid_t through)
{
    const auto found = file(pid, through);
    return found ? std::optional(found->first) : std::nullopt;
}

std::vector<OutputFunction> BufferReader::output_functions(pid_t pid, pid_t through)
{
    const Image &found = image(pid, through == 0 ? pid : through);
    if (!found.found) {
        return {};
    }
    std::vector<OutputFunction> functions(found.library.output_functions.size());
    std::transform(found.library.output_functions.begin(), found.library.output_functions.end(),
                   functions.begin(), [&](const OutputFunction &function) {
                       return OutputFunction{found.base + function.address, function.stream};
                   });
    return functions;
}

namespace {

std::uint64_t address(const char *pointer) { return reinterpret_cast<std::uintptr_t>(pointer); }

}  // namespace

std::optional<std::size_t> BufferReader::pending(pid_t pid, pid_t through)
{
    const auto found = file(pid, through);
    if (!found) {
        return std::nullopt;
    }
    const FILE &raw = found->second;
    if (address(raw._IO_write_ptr) < address(raw._IO_write_base) ||
        address(raw._IO_write_ptr) - address(raw._IO_write_base) > most_pending) {
        return std::nullopt;
    }
    return address(raw._IO_write_ptr) - address(raw._IO_write_base);
}

std::optional<BufferState> BufferReader::read(pid_t pid, pid_t through)
{
    through = through == 0 ? pid : through;
    const auto found = file(pid, through);
    if (!found) {
        return std::nullopt;
    }
    const FILE &raw = found->second;
    BufferState state;
    const auto flags = static_cast<unsigned>(raw._flags);
    state.buffering = (flags & unbuffered) != 0      ? Buffering::unbuffered
                      : (flags & line_buffered) != 0 ? Buffering::line
                                                     : Buffering::full;
    state.put_start = address(raw._IO_write_base);
    state.size = address(raw._IO_buf_end) - address(raw._IO_buf_base);
    const std::uint64_t count = address(raw._IO_write_ptr) - state.put_start;
    if (address(raw._IO_write_ptr) < state.put_start || count > most_pending) {
        return std::nullopt;
    }
    state.pending = read_memory(through, state.put_start, count);
    return state.pending.size() == count ? std::optional(state) : std::nullopt;
}

}  // namespace forktrace
