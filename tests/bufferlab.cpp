// A program of the tests' own: one way a standard output buffer's bytes go
// out, or are lost, chosen by its argument, for forktrace's buffer facts.
#include <csignal>
#include <cstdio>
#include <cstring>

#include <unistd.h>

int main(int argc, char *argv[])
{
    const char *how = argc > 1 ? argv[1] : "";
    static char small[16];
    if (std::strcmp(how, "newline") == 0) {
        static_cast<void>(std::setvbuf(stdout, nullptr, _IOLBF, 0));
        std::puts("a line");
    } else if (std::strcmp(how, "full") == 0) {
        static_cast<void>(std::setvbuf(stdout, small, _IOFBF, sizeof small));
        static_cast<void>(std::fputs("ten bytes.", stdout));
        static_cast<void>(std::fputs("ten more..", stdout));  // 16 go out when the buffer fills
    } else if (std::strcmp(how, "flush") == 0) {
        static_cast<void>(std::setvbuf(stdout, nullptr, _IOFBF, 0));
        static_cast<void>(std::fputs("flushed\n", stdout));
        static_cast<void>(std::fflush(stdout));
        _exit(0);
    } else if (std::strcmp(how, "flush_all") == 0) {
        static_cast<void>(std::fputs("every stream flushed\n", stdout));
        static_cast<void>(std::fflush(nullptr));
        _exit(0);
    } else if (std::strcmp(how, "exit") == 0) {
        static_cast<void>(std::setvbuf(stdout, nullptr, _IOFBF, 0));
        std::puts("written at exit");
    } else if (std::strcmp(how, "close") == 0) {
        std::puts("written at the close");
        static_cast<void>(std::fclose(stdout));
    } else if (std::strcmp(how, "unbuffered") == 0) {
        static_cast<void>(std::setvbuf(stdout, nullptr, _IONBF, 0));
        static_cast<void>(std::fputs("unbuffered\n", stdout));
    } else if (std::strcmp(how, "lost_at_exit") == 0) {
        std::puts("lost at _exit");
        _exit(0);
    } else if (std::strcmp(how, "lost_at_signal") == 0) {
        std::puts("lost to a signal");
        static_cast<void>(std::raise(SIGKILL));
    } else if (std::strcmp(how, "lost_at_exec") == 0) {
        std::puts("lost at exec");
        execl("/bin/true", "true", nullptr);
    }
    return 0;
}
