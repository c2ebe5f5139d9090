// The direct way through attach and detach, taken before the C library is initialised.
//
// Each attach and each detach starts hdiutil only for it to become squashfuse or fusermount3, so
// its start-up is paid twice per mount on top of theirs; on a virtual machine, where every page
// fault and exit to the hypervisor is dear, the C library's own start-up (CPU feature probing,
// thread-local storage, the allocator, static constructors) costs more than the checks. The entry
// point is therefore hdiutilEntry: for a well-formed attach of an image that passes every check,
// or a well-formed detach, it makes the same checks and the same descriptor and signal
// arrangements as main.cc with bare system calls, and execs the tool. Anything else (usage, a
// failed check, a failed call, exec itself failing) goes on to the C library's _start with the
// process as the kernel started it, apart from descriptors 0, 1 and 3 when exec failed, and main
// then does the work again and reports exactly as it always does. So this file holds no message
// and takes no decision of its own: what it accepts, main would accept as well.
//
// Nothing here may call the C library, allocate, throw or touch thread-local storage (errno):
// none of it is set up yet. The build checks the object file for undefined symbols.
#include "tools/hdiutil/Direct.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>

#include "platform/FlatFileTrailer.h"
#include "platform/SquashfsSuperblock.h"

namespace {

long systemCall(long number, long a = 0, long b = 0, long c = 0, long d = 0, long e = 0) {
  long result = 0;
  register long r10 __asm__("r10") = d;
  register long r8 __asm__("r8") = e;
  __asm__ volatile("syscall"
                   : "=a"(result)
                   : "a"(number), "D"(a), "S"(b), "d"(c), "r"(r10), "r"(r8)
                   : "rcx", "r11", "memory");
  return result;  // -errno on failure
}

template <typename T>
long address(T* pointer) {
  return reinterpret_cast<long>(pointer);  // NOLINT(performance-no-int-to-ptr)
}

bool same(const char* a, const char* b) {
  while (*a != '\0' && *a == *b) {
    ++a;
    ++b;
  }
  return *a == *b;
}

bool statusOf(int directory, const char* path, int flags, struct statx& status) {
  return systemCall(SYS_statx, directory, address(path), flags, STATX_BASIC_STATS,
                    address(&status)) == 0;
}

// Reads up to size bytes at offset, fewer only at the end of the file; -1 on an error.
long readAt(int fd, std::uint8_t* buffer, std::size_t size, std::uint64_t offset) {
  std::size_t got = 0;
  while (got < size) {
    const long count = systemCall(SYS_pread64, fd, address(buffer + got),
                                  static_cast<long>(size - got), static_cast<long>(offset + got));
    if (count == -EINTR) continue;
    if (count < 0) return -1;
    if (count == 0) break;
    got += static_cast<std::size_t>(count);
  }
  return static_cast<long>(got);
}

// The length of the signed content, as codesign::flatFileContentLength has it; false for a
// damaged trailer or a failed read, which main reports.
bool contentLength(int fd, std::uint64_t size, std::uint64_t& length) {
  using platform::codesign::kTrailerMagic;
  using platform::codesign::kTrailerSize;
  length = size;
  if (size < kTrailerSize) return true;
  std::uint8_t tail[kTrailerSize];
  if (readAt(fd, tail, kTrailerSize, size - kTrailerSize) != static_cast<long>(kTrailerSize)) {
    return false;
  }
  for (std::size_t i = 0; i < sizeof kTrailerMagic; ++i) {
    if (tail[8 + i] != static_cast<std::uint8_t>(kTrailerMagic[i])) return true;
  }
  std::uint64_t signature = 0;
  for (int i = 7; i >= 0; --i) signature = (signature << 8) | tail[i];
  if (signature == 0 || signature > platform::codesign::kMaximumSignatureSize ||
      signature > size - kTrailerSize) {
    return false;
  }
  length = size - kTrailerSize - signature;
  return true;
}

// openImage's checks on the opened descriptor; the descriptor, or -1 after closing it.
int openCheckedImage(const char* path) {
  const int fd =
      static_cast<int>(systemCall(SYS_openat, AT_FDCWD, address(path),
                                  O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW | O_NONBLOCK));
  if (fd < 0) return -1;
  struct statx status;
  std::uint64_t length = 0;
  std::uint8_t header[platform::diskimage::kSuperblockSize];
  platform::diskimage::Superblock superblock;
  if (statusOf(fd, "", AT_EMPTY_PATH, status) && S_ISREG(status.stx_mode) &&
      contentLength(fd, status.stx_size, length)) {
    const long got = readAt(fd, header, sizeof header, 0);
    if (got >= 0 && platform::diskimage::superblockProblem(header, static_cast<std::size_t>(got),
                                                           length, superblock) == nullptr) {
      return fd;
    }
  }
  systemCall(SYS_close, fd);
  return -1;
}

// A folder that is not a mount root yet; where statx cannot tell, main finds out its own way.
bool freeFolder(const char* path) {
  struct statx status;
  return statusOf(AT_FDCWD, path, AT_SYMLINK_NOFOLLOW, status) && S_ISDIR(status.stx_mode) &&
         (status.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT) != 0 &&
         (status.stx_attributes & STATX_ATTR_MOUNT_ROOT) == 0;
}

long moveTo(int from, int to) {
  if (from == to) return systemCall(SYS_fcntl, to, F_SETFD, 0);
  return systemCall(SYS_dup2, from, to) < 0 ? -1 : 0;
}

// As platform::replaceProcess: /dev/null for standard input and output, standard error kept,
// the image (when not -1) as descriptor 3, everything else closed at exec; SIGPIPE at its
// default and no signal blocked (exec itself resets every handler that is not ignored). Returns
// only when something failed.
void become(const char* program, const char* const* argv, const char* const* environment,
            int image) {
  int firstClosed = 3;
  if (image >= 0 && moveTo(image, firstClosed++) != 0) return;
  const int null =
      static_cast<int>(systemCall(SYS_openat, AT_FDCWD, address("/dev/null"), O_RDWR | O_CLOEXEC));
  if (null < 0) return;
  if (moveTo(null, 0) != 0 || moveTo(null, 1) != 0) return;
  if (systemCall(SYS_close_range, firstClosed, ~0U, CLOSE_RANGE_CLOEXEC) != 0) return;
  struct {
    long handler = 0;  // SIG_DFL
    unsigned long flags = 0;
    long restorer = 0;
    std::uint64_t mask = 0;
  } byDefault;
  const std::uint64_t none = 0;
  systemCall(SYS_rt_sigaction, SIGPIPE, address(&byDefault), 0, sizeof none);
  systemCall(SYS_rt_sigprocmask, SIG_SETMASK, address(&none), 0, sizeof none);
  systemCall(SYS_execve, address(program), address(argv), address(environment));
}

}  // namespace

// stack is where the kernel left argc, then argv, then the environment.
extern "C" void hdiutilDirect(long* stack) {
  const long argc = stack[0];
  const char* const* argv = reinterpret_cast<const char* const*>(stack + 1);
  const char* const* environment = argv + argc + 1;
  if (argc < 2) return;
  if (same(argv[1], "detach")) {
    if (argc != 3 || argv[2][0] == '-') return;
    const char* const tool[] = {hdiutil::kFusermount, "-u", argv[2], nullptr};
    become(tool[0], tool, environment, -1);
    return;
  }
  if (!same(argv[1], "attach")) return;
  // main's reading of the arguments; whatever it would call wrong usage goes to main.
  const char* mountPoint = "";
  const char* image = nullptr;
  bool readOnly = false;
  for (long i = 2; i < argc; ++i) {
    const char* argument = argv[i];
    if (same(argument, "-readonly")) {
      readOnly = true;
    } else if (same(argument, "-nobrowse") || same(argument, "-noautoopen")) {
      // Nothing browses or opens a mount here.
    } else if (same(argument, "-mountpoint") && i + 1 < argc) {
      mountPoint = argv[++i];
    } else if (argument[0] == '-' || image != nullptr) {
      return;
    } else {
      image = argument;
    }
  }
  if (!readOnly || mountPoint[0] == '\0' || image == nullptr) return;
  const int fd = openCheckedImage(image);
  if (fd < 0) return;
  if (freeFolder(mountPoint)) {
    const char* const tool[] = {hdiutil::kSquashfuse,  "-o",       hdiutil::kMountOptions,
                                hdiutil::kPassedImage, mountPoint, nullptr};
    become(tool[0], tool, environment, fd);
  }
  systemCall(SYS_close, fd);
}

// The executable's entry point: the direct way first, then, should it return, the C library's
// start with the stack pointer and %rdx (no exit function) as the kernel set them.
__asm__(R"(
  .text
  .globl hdiutilEntry
  .type hdiutilEntry, @function
hdiutilEntry:
  mov %rsp, %rbx
  mov %rsp, %rdi
  and $-16, %rsp
  call hdiutilDirect
  mov %rbx, %rsp
  xor %edx, %edx
  jmp _start
  .size hdiutilEntry, .-hdiutilEntry
)");
