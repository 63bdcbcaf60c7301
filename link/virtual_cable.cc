#include "link/virtual_cable.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/fsuid.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <thread>

#include "link/frame.h"

namespace tarnel {
namespace {

constexpr char kMagic[8] = {'L', 'P', 'T', 'C', 'A', 'B', 'L', '1'};
constexpr size_t kBusNsOffset = 8;
constexpr size_t kDataOffset = 16;      // + end
constexpr size_t kControlOffset = 18;   // + end
constexpr size_t kReadsOffset = 32;     // + 16 * end
constexpr size_t kWritesOffset = 40;    // + 16 * end
constexpr size_t kHighBitsOffset = 64;  // + 8 * end

uint64_t now_ns() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000000000u + static_cast<uint64_t>(ts.tv_nsec);
}

enum class MagicState { kComplete, kPartial, kWrong };

MagicState magic_state(uint8_t* map) {
  bool complete = true;
  for (size_t i = 0; i < sizeof kMagic; ++i) {
    const uint8_t b = std::atomic_ref<uint8_t>(map[i]).load(std::memory_order_acquire);
    if (b == static_cast<uint8_t>(kMagic[i])) continue;
    if (b != 0) return MagicState::kWrong;
    complete = false;
  }
  return complete ? MagicState::kComplete : MagicState::kPartial;
}

std::string reason(const std::string& path, const std::string& what) {
  return "Cannot use the virtual cable " + path + ": " + what;
}

/// Opens the cable file read-write with the rights of the real user: the
/// file-system user and group IDs are switched to the real ones for the
/// call, so that a set-user-ID program neither reaches nor creates anything
/// its caller could not. An existing file is opened as named (through a
/// link too: the user may open its target anyway); a missing one is created
/// as a new file with O_EXCL, which never follows a symbolic link, not even
/// one that leads nowhere. -1 with errno set on failure.
int open_as_real_user(const std::string& path) {
  const int saved_gid = setfsgid(getgid());
  const int saved_uid = setfsuid(getuid());
  int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (fd < 0 && errno == ENOENT) {
    fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOCTTY | O_CLOEXEC, 0666);
    // Another end was quicker to create it; or the name is a dangling link,
    // which then fails with ENOENT.
    if (fd < 0 && errno == EEXIST) fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  }
  const int error = errno;
  setfsuid(static_cast<uid_t>(saved_uid));
  setfsgid(static_cast<gid_t>(saved_gid));
  errno = error;
  return fd;
}

// The cable mappings this process holds, for report_cut_cable(): a slot is
// taken by storing 1 in `begin`, filled, then published with the mapping's
// address; a signal handler reads only published slots.
struct MappingSlot {
  std::atomic<uintptr_t> begin{0};
  char path[1024];  // "" when the path does not fit
};
constexpr int kMappingSlots = 8;
MappingSlot mapping_slots[kMappingSlots];

int publish_mapping(const uint8_t* map, const std::string& path) {
  for (int i = 0; i < kMappingSlots; ++i) {
    uintptr_t expected = 0;
    MappingSlot& slot = mapping_slots[i];
    if (!slot.begin.compare_exchange_strong(expected, 1)) continue;
    const bool fits = path.size() < sizeof slot.path && path.find('\0') == std::string::npos;
    std::memcpy(slot.path, path.c_str(), fits ? path.size() + 1 : 1);
    if (!fits) slot.path[0] = '\0';
    slot.begin.store(reinterpret_cast<uintptr_t>(map));
    return i;
  }
  return -1;  // more cables than slots: a fault in this one stays a bare SIGBUS
}

void write_all(const char* text, size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(STDERR_FILENO, text, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    text += n;
    size -= static_cast<size_t>(n);
  }
}

void write_text(const char* text) { write_all(text, std::strlen(text)); }

}  // namespace

bool report_cut_cable(const void* address) {
  const auto a = reinterpret_cast<uintptr_t>(address);
  for (const MappingSlot& slot : mapping_slots) {
    const uintptr_t begin = slot.begin.load();
    if (begin <= 1 || a < begin || a - begin >= VirtualCable::kFileSize) continue;
    const int saved_errno = errno;
    write_text(program_invocation_short_name);
    write_text(": the cable file ");
    if (slot.path[0] != '\0') {
      write_text(slot.path);
      write_text(" ");
    }
    write_text("was cut short by another program; ending.\n");
    errno = saved_errno;
    return true;
  }
  return false;
}

std::string default_cable_path(int port_number) {
  return "tarnel-lpt" + std::to_string(port_number) + ".cable";
}

std::unique_ptr<VirtualCable> VirtualCable::open(const std::string& path,
                                                 uint32_t bus_ns_if_created, std::string* why) {
  auto fail = [&](const std::string& what) -> std::unique_ptr<VirtualCable> {
    if (why) *why = reason(path, what);
    return nullptr;
  };
  int fd = open_as_real_user(path);
  if (fd < 0) {
    struct stat link;
    if (errno == ENOENT && lstat(path.c_str(), &link) == 0 && S_ISLNK(link.st_mode)) {
      return fail("a symbolic link to nothing (a new cable is not created through a link)");
    }
    return fail(std::strerror(errno));
  }
  struct stat st;
  if (fstat(fd, &st) != 0) {
    std::string e = std::strerror(errno);
    ::close(fd);
    return fail(e);
  }
  if (!S_ISREG(st.st_mode)) {
    ::close(fd);
    return fail("not a regular file");
  }
  bool created = false;
  if (st.st_size == 0) {
    if (ftruncate(fd, kFileSize) != 0) {
      std::string e = std::strerror(errno);
      ::close(fd);
      return fail(e);
    }
    created = true;
  } else if (static_cast<size_t>(st.st_size) != kFileSize) {
    ::close(fd);
    return fail("the file is " + std::to_string(st.st_size) + " bytes long, not " +
                std::to_string(kFileSize));
  }
  void* m = mmap(nullptr, kFileSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (m == MAP_FAILED) {
    std::string e = std::strerror(errno);
    ::close(fd);
    return fail(e);
  }
  auto* map = static_cast<uint8_t*>(m);

  if (created) {
    // Both ends may race to create the file: each writes the same magic.
    store_le32(map + kBusNsOffset, bus_ns_if_created);
    std::atomic_thread_fence(std::memory_order_release);
    std::memcpy(map, kMagic, sizeof kMagic);
  } else {
    // A creator that has just set the size may still be writing the magic:
    // give it a second while the first eight bytes are a partly written magic
    // (each byte either 0 or the magic's own), so that a racing attach is
    // not refused for a magic it caught half-way.
    for (int i = 0; i < 100 && magic_state(map) == MagicState::kPartial; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (magic_state(map) != MagicState::kComplete) {
      munmap(map, kFileSize);
      ::close(fd);
      return fail("wrong magic (not a cable file)");
    }
  }
  std::atomic_thread_fence(std::memory_order_acquire);
  return std::unique_ptr<VirtualCable>(
      new VirtualCable(fd, map, load_le32(map + kBusNsOffset), path));
}

VirtualCable::VirtualCable(int fd, uint8_t* map, uint32_t bus_ns, const std::string& path)
    : fd_(fd), map_(map), bus_ns_(bus_ns) {
  mapping_slot_ = publish_mapping(map, path);
}

VirtualCable::~VirtualCable() {
  if (mapping_slot_ >= 0) mapping_slots[mapping_slot_].begin.store(0);
  munmap(map_, kFileSize);
  ::close(fd_);
}

bool VirtualCable::claim_end(End end, const std::string& path, std::string* why) {
  struct flock lock = {};
  lock.l_type = F_WRLCK;
  lock.l_whence = SEEK_SET;
  lock.l_start = static_cast<off_t>(kDataOffset + end);
  lock.l_len = 1;
  if (fcntl(fd_, F_OFD_SETLK, &lock) == 0) return true;
  const std::string name = end == kEndA ? "end A" : "end B";
  if (why) {
    *why = reason(path, errno == EAGAIN || errno == EACCES
                            ? name + " is taken by another program"
                            : "cannot claim " + name + ": " + std::strerror(errno));
  }
  return false;
}

void VirtualCable::bump(size_t offset) {
  // Each counter has one writer, so load and store need not be one step.
  std::atomic_ref<uint64_t> c(*reinterpret_cast<uint64_t*>(map_ + offset));
  c.store(c.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
}

void VirtualCable::spend_bus_time(uint64_t start_ns) {
  if (bus_ns_ == 0) return;
  while (now_ns() - start_ns < bus_ns_) {
  }
}

uint8_t VirtualCable::read_status(End me) {
  uint64_t start = bus_ns_ ? now_ns() : 0;
  std::atomic_ref<uint8_t> peer(map_[kDataOffset + (1 - me)]);
  uint8_t value = status_for(peer.load(std::memory_order_acquire));
  bump(kReadsOffset + 16 * me);
  spend_bus_time(start);
  return value;
}

void VirtualCable::write_data(End me, uint8_t value) {
  uint64_t start = bus_ns_ ? now_ns() : 0;
  std::atomic_ref<uint8_t>(map_[kDataOffset + me]).store(value, std::memory_order_release);
  bump(kWritesOffset + 16 * me);
  if (value & Lines::kDataUnwired) bump(kHighBitsOffset + 8 * me);
  spend_bus_time(start);
}

void VirtualCable::write_control(End me, uint8_t value) {
  uint64_t start = bus_ns_ ? now_ns() : 0;
  std::atomic_ref<uint8_t>(map_[kControlOffset + me]).store(value, std::memory_order_release);
  bump(kWritesOffset + 16 * me);
  spend_bus_time(start);
}

void VirtualCable::count_other_access(End me, bool is_write) {
  uint64_t start = bus_ns_ ? now_ns() : 0;
  bump((is_write ? kWritesOffset : kReadsOffset) + 16 * me);
  spend_bus_time(start);
}

uint8_t VirtualCable::data_register(End end) const {
  return std::atomic_ref<uint8_t>(map_[kDataOffset + end]).load(std::memory_order_acquire);
}
uint8_t VirtualCable::control_register(End end) const {
  return std::atomic_ref<uint8_t>(map_[kControlOffset + end]).load(std::memory_order_acquire);
}
uint64_t VirtualCable::reads(End end) const {
  return std::atomic_ref<uint64_t>(*reinterpret_cast<uint64_t*>(map_ + kReadsOffset + 16 * end))
      .load(std::memory_order_relaxed);
}
uint64_t VirtualCable::writes(End end) const {
  return std::atomic_ref<uint64_t>(*reinterpret_cast<uint64_t*>(map_ + kWritesOffset + 16 * end))
      .load(std::memory_order_relaxed);
}
uint64_t VirtualCable::high_bit_writes(End end) const {
  return std::atomic_ref<uint64_t>(*reinterpret_cast<uint64_t*>(map_ + kHighBitsOffset + 8 * end))
      .load(std::memory_order_relaxed);
}

bool CablePort::claim(int port_number, uint16_t base, std::string* why) {
  if (path_.empty()) path_ = default_cable_path(port_number);
  if (!cable_) {
    std::unique_ptr<VirtualCable> cable = VirtualCable::open(path_, bus_ns_if_created_, why);
    if (!cable || !cable->claim_end(end_, path_, why)) return false;
    cable_ = std::move(cable);
  }
  base_ = base;
  return true;
}

uint8_t CablePort::port_in(uint16_t address) {
  if (!cable_) return 0xFF;
  if (address == base_ + 1) {
    const uint8_t status = cable_->read_status(end_);
    // An end that polls for a change gives its processor away now and then:
    // when both ends share a processor with other programs, the other end
    // can only answer while it runs. A peer that answers at once costs
    // nothing, and a real port's waits are not touched.
    if (status != last_status_) {
      last_status_ = status;
      unchanged_reads_ = 0;
    } else if (++unchanged_reads_ % kReadsBeforeYield == 0) {
      sched_yield();
    }
    return status;
  }
  cable_->count_other_access(end_, false);
  return 0xFF;  // nothing attached to the other registers' inputs
}

void CablePort::port_out(uint16_t address, uint8_t value) {
  if (!cable_) return;
  if (address == base_) {
    cable_->write_data(end_, value);
  } else if (address == base_ + 2) {
    cable_->write_control(end_, value);
  } else {
    cable_->count_other_access(end_, true);
  }
}

}  // namespace tarnel
