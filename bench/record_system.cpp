// Loaded into kovox with LD_PRELOAD for one untimed run at native speed: records every text that
// kovox hands to system(), which is what the floor then runs, the stack address at each call, and
// kovox's peak heap and stack.
//
//   KOVOX_BENCH_RECORD=FILE LD_PRELOAD=.../libkovox_bench_record.so kovox DEVICE.img
//
// FILE gets one line per call: the stack address in decimal, a tab, the command text. kovox calls
// system() from the same function at every depth, so the difference between the addresses at two
// depths is exactly the stack that the walk takes for those levels. At the end come two lines:
//   #peak-heap BYTES   the most heap in use at once, as malloc_usable_size counts each block, over
//                      every allocation of the process (the C and C++ runtimes' included)
//   #peak-stack BYTES  the stack's high-water mark below the top of the initial stack: before main,
//                      4 MiB below the current frame are painted with a pattern; at exit the lowest
//                      byte no longer holding it is the deepest the stack reached
// The recorder allocates nothing itself, and its system() ends in a jump to the real one, so the
// figures are kovox's own.
#include <dlfcn.h>
#include <fcntl.h>
#include <malloc.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

extern "C" {
extern void* __libc_stack_end;  // the top of the initial stack, as the dynamic loader found it
// glibc's own allocator, under the names it exports for wrappers like these.
void* __libc_malloc(std::size_t size);
void* __libc_calloc(std::size_t count, std::size_t size);
void* __libc_realloc(void* block, std::size_t size);
void* __libc_memalign(std::size_t alignment, std::size_t size);
void __libc_free(void* block);
}

namespace {

using system_function = int (*)(const char*);

constexpr std::size_t painted_size = std::size_t{4} << 20;
constexpr unsigned char paint = 0xa5;

int record_file = -1;
system_function real_system = nullptr;
std::uintptr_t painted_low = 0;  // the lowest painted address
std::size_t heap_in_use = 0;     // one thread: kovox starts none
std::size_t heap_peak = 0;

void record(const char* text, std::size_t length) {
    if (record_file >= 0 && ::write(record_file, text, length) < 0) std::abort();
}

void* counted(void* block) {
    if (block != nullptr) {
        heap_in_use += malloc_usable_size(block);
        if (heap_in_use > heap_peak) heap_peak = heap_in_use;
    }
    return block;
}

void uncount(void* block) {
    if (block != nullptr) heap_in_use -= malloc_usable_size(block);
}

// A frame of 4 MiB, filled and left behind: the stack pages below are mapped and hold the paint.
[[gnu::noinline]] void paint_stack() {
    unsigned char area[painted_size];
    std::memset(area, paint, sizeof area);
    asm volatile("" : : "r"(area) : "memory");  // the stores must happen
    painted_low = reinterpret_cast<std::uintptr_t>(area);
}

// The interpreter and the tool must run as they do without the recorder.
__attribute__((constructor)) void start_recording() {
    real_system = reinterpret_cast<system_function>(dlsym(RTLD_NEXT, "system"));
    const char* const path = std::getenv("KOVOX_BENCH_RECORD");
    if (path == nullptr) return;
    record_file = ::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    ::unsetenv("LD_PRELOAD");
    ::unsetenv("KOVOX_BENCH_RECORD");
    paint_stack();
}

__attribute__((destructor)) void finish_recording() {
    if (painted_low == 0) return;
    char line[64];
    int length = std::snprintf(line, sizeof line, "#peak-heap %zu\n", heap_peak);
    record(line, static_cast<std::size_t>(length));
    const auto* deepest = reinterpret_cast<const unsigned char*>(painted_low);
    while (*deepest == paint) ++deepest;
    if (reinterpret_cast<std::uintptr_t>(deepest) == painted_low) {  // went below the paint
        length = std::snprintf(line, sizeof line, "#peak-stack unknown\n");
    } else {
        const auto top = reinterpret_cast<std::uintptr_t>(__libc_stack_end);
        const auto used = static_cast<std::size_t>(top - reinterpret_cast<std::uintptr_t>(deepest));
        length = std::snprintf(line, sizeof line, "#peak-stack %zu\n", used);
    }
    record(line, static_cast<std::size_t>(length));
}

// Small in stack on purpose: it runs below kovox's frames, and kovox's high-water mark is measured.
[[gnu::noinline]] void record_call(std::uintptr_t stack, const char* command) {
    char digits[24];
    char* start = digits + sizeof digits;
    *--start = '\t';
    do {
        *--start = static_cast<char>('0' + stack % 10);
        stack /= 10;
    } while (stack != 0);
    record(start, static_cast<std::size_t>(digits + sizeof digits - start));
    record(command, std::strlen(command));
    record("\n", 1);
}

}  // namespace

extern "C" {

// Ends in a jump to the real system(), so that kovox's stack below it is what it is without us.
int system(const char* command) {
    if (command != nullptr) {
        record_call(reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0)), command);
    }
    return real_system(command);
}

void* malloc(std::size_t size) { return counted(__libc_malloc(size)); }
void* calloc(std::size_t count, std::size_t size) { return counted(__libc_calloc(count, size)); }
void* realloc(void* block, std::size_t size) {
    const std::size_t before = block != nullptr ? malloc_usable_size(block) : 0;
    void* const moved = __libc_realloc(block, size);
    if (moved == nullptr && size != 0) return nullptr;  // the old block stays as it was
    heap_in_use -= before;
    return counted(moved);
}
void free(void* block) {
    uncount(block);
    __libc_free(block);
}
void* memalign(std::size_t alignment, std::size_t size) {
    return counted(__libc_memalign(alignment, size));
}
void* aligned_alloc(std::size_t alignment, std::size_t size) { return memalign(alignment, size); }
void* valloc(std::size_t size) { return memalign(static_cast<std::size_t>(::getpagesize()), size); }
void* pvalloc(std::size_t size) {
    const auto page = static_cast<std::size_t>(::getpagesize());
    return memalign(page, (size + page - 1) / page * page);
}
int posix_memalign(void** block, std::size_t alignment, std::size_t size) {
    void* const allocated = memalign(alignment, size);
    if (allocated == nullptr) return ENOMEM;
    *block = allocated;
    return 0;
}

}  // extern "C"
