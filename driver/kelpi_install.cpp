// kelpi_install: exercises an installation of the library. Creates a context
// against the given directory with every trace category on, records what the
// library reports in "<directory>/kelpi_install.log", releases the context
// and reports the outcome in "<directory>/qx_tavro.log" and its exit status.
#ifdef _WIN32
#include <windows.h>
#endif

#include <csetjmp>
#include <csignal>
#include <cstdio>
#include <cstring>

#include "i18n.h"
#include "kavrel.h"
#include "support/platform.h"

namespace {

constexpr const char *kProgram = "kelpi_install";
constexpr const char *kProduct = "qx125";
constexpr const char *kLocale = "US-eng";
constexpr int kUnits = 1024;
constexpr int kBytes = 1024;
constexpr int kMaxDirectoryUnits = 511;

// Where library messages go: the message log, or standard error.
FILE *g_message_log = stderr;

int32_t message_handler(KAVREL_CTX *, int32_t severity, int32_t number, const char *text) {
    char prefix[2048] = "";
    switch (severity) {
        case KAVREL_SEV_DEBUG:
            break;
        case KAVREL_SEV_LOG:
            std::snprintf(prefix, sizeof prefix, "Log (%d): ", number);
            break;
        case KAVREL_SEV_INFORMATIONAL:
            std::snprintf(prefix, sizeof prefix, "Info (%d): ", number);
            break;
        case KAVREL_SEV_WARNING:
            std::snprintf(prefix, sizeof prefix, "Warning (%d): ", number);
            break;
        case KAVREL_SEV_ERROR:
            std::snprintf(prefix, sizeof prefix, "Error (%d): ", number);
            break;
        default:
            std::snprintf(prefix, sizeof prefix, "FIX ME! Error severity not set.: %d ", number);
    }
    std::fprintf(g_message_log, "%s%s\n", prefix, text);
    std::fflush(g_message_log);
    return 0;
}

// The directory for the library: the argument read as the system's text
// (the ANSI code page on Windows, UTF-8 elsewhere) into UTF-16, then UTF-8,
// as the library takes its names; an argument that is no such text is
// passed on as its bytes. False when it is too long for the buffers.
bool library_directory(const char *argument, char (&utf8)[kBytes]) {
    static char16_t wide[kUnits];
    std::memset(wide, 0, sizeof wide);
    std::memset(utf8, 0, sizeof utf8);
    const int32_t units = kavrel::plat_argument_utf16(argument, wide, kMaxDirectoryUnits + 1);
    if (units == UNIUTF8_E_FULL || std::strlen(argument) >= kBytes) return false;
    if (units < 0 || uniutf8_unistrToUTF8(utf8, kBytes, wide, nullptr) < 0) {
        std::strncpy(utf8, argument, kBytes - 1);
    }
    return true;
}

FILE *open_log(const char *name, const char *banner) {
    FILE *log = std::fopen(name, "w+");
    if (log != nullptr) std::fputs(banner, log);
    return log;
}

void close_logs(FILE *result_log) {
    if (g_message_log != stderr) std::fclose(g_message_log);
    g_message_log = stderr;
    if (result_log != nullptr) std::fclose(result_log);
}

void result_line(FILE *result_log, const char *text) {
    if (result_log == nullptr) return;
    std::fputs(text, result_log);
    std::fflush(result_log);
}

// The guard around kavrel_free: a fault inside it ends the run in order.
#ifdef _WIN32
// A vectored handler sees the access violation first and leaves the guard.
jmp_buf g_fault_exit;

LONG WINAPI on_fault(EXCEPTION_POINTERS *e) {
    const DWORD code = e->ExceptionRecord->ExceptionCode;
    if (code != EXCEPTION_ACCESS_VIOLATION && code != EXCEPTION_IN_PAGE_ERROR) {
        return EXCEPTION_CONTINUE_SEARCH;
    }
    longjmp(g_fault_exit, 1);
}

bool guarded_free(KAVREL_CTX **ctx) {
    void *handler = AddVectoredExceptionHandler(1, on_fault);
    bool ok = true;
    if (setjmp(g_fault_exit) == 0) {
        kavrel_free(ctx);
    } else {
        ok = false;
    }
    RemoveVectoredExceptionHandler(handler);
    return ok;
}
#else
sigjmp_buf g_fault_exit;

void on_fault(int) {
    siglongjmp(g_fault_exit, 1);
}

bool guarded_free(KAVREL_CTX **ctx) {
    struct sigaction fault {
    }, saved_segv{}, saved_bus{};
    fault.sa_handler = on_fault;
    sigemptyset(&fault.sa_mask);
    sigaction(SIGSEGV, &fault, &saved_segv);
    sigaction(SIGBUS, &fault, &saved_bus);
    bool ok = true;
    if (sigsetjmp(g_fault_exit, 1) == 0) {
        kavrel_free(ctx);
    } else {
        ok = false;
    }
    sigaction(SIGSEGV, &saved_segv, nullptr);
    sigaction(SIGBUS, &saved_bus, nullptr);
    return ok;
}
#endif

int usage() {
    std::fprintf(stderr,
                 "usage: %s DIRECTORY\n"
                 "  Creates a Kavrel context for the product qx125 in DIRECTORY (at most %d\n"
                 "  characters), logs what the library reports to DIRECTORY/%s.log and the\n"
                 "  outcome to DIRECTORY/qx_tavro.log.\n",
                 kProgram, kMaxDirectoryUnits, kProgram);
    return 1;
}

}  // namespace

int main(int argc, char **argv) {
    kavrel_set_attr(nullptr, KAVREL_A_TRACE, KAVREL_TRACE_ALL);
    char directory[kBytes];
    if (argc < 2 || *argv[1] == '\0' || !library_directory(argv[1], directory)) return usage();
    const char *dir = argv[1];

    char banner[512];
    std::snprintf(banner, sizeof banner, "%s/%s\n", kProgram, kavrel_version());
    std::fputs(banner, stdout);
    std::fflush(stdout);

    char name[kBytes + 64];
    std::snprintf(name, sizeof name, "%s/%s.log", dir, kProgram);
    if (FILE *log = open_log(name, banner)) {
        g_message_log = log;
    } else {
        std::fprintf(stderr, "Failed to open file '%s'.Kavrel messages will be output to stderr.\n",
                     name);
    }
    std::snprintf(name, sizeof name, "%s/qx_tavro.log", dir);
    FILE *result_log = open_log(name, banner);

    KAVREL_CTX *ctx = nullptr;
    const uint32_t status = kavrel_init(&ctx, kProduct, kProduct, directory, nullptr, nullptr,
                                        kLocale, directory, message_handler);
    if (status != 0) {
        std::fprintf(stderr, "%s: the system could not be configured; exiting.\n", kProgram);
        std::snprintf(name, sizeof name, "kavrel_init() failed. return:%d\n",
                      static_cast<int>(status));
        result_line(result_log, name);
        close_logs(result_log);
        return -1;
    }
    if (!guarded_free(&ctx)) {
        result_line(result_log, "kavrel_free: Exception \n");
        close_logs(result_log);
        return -1;
    }
    if (g_message_log != stderr) std::fclose(g_message_log);
    g_message_log = stderr;
    static constexpr char kDone[] = "The Kavrel install test program completed successfully\n";
    std::fputs(kDone, stderr);
    result_line(result_log, kDone);
    if (result_log != nullptr) std::fclose(result_log);
    return 0;
}
