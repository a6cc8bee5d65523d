// Bridge between a segment and a Linux TAP interface.
#include <fcntl.h>
#include <linux/if.h>
#include <linux/if_tun.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <thread>

#include "platform/net/segment.h"

namespace sim {

namespace {

constexpr size_t kMinimumFrame = 60;
constexpr size_t kReadBuffer = 65536;

std::string OpenFailure(int error) {
  switch (error) {
    case ENOENT:
    case ENODEV:
    case ENXIO:
      return "/dev/net/tun is missing: this host has no TUN/TAP support (load the tun module)";
    case EACCES:
    case EPERM:
      return "permission denied opening /dev/net/tun (needs read-write access to it)";
    default:
      return std::string("cannot open /dev/net/tun: ") + std::strerror(error);
  }
}

std::string CreateFailure(const std::string& name, int error) {
  if (error == EPERM || error == EACCES) {
    return "permission denied creating TAP interface \"" + name +
           "\" (needs CAP_NET_ADMIN, or an interface made beforehand for this user with "
           "`ip tuntap add mode tap`)";
  }
  if (error == EBUSY) return "TAP interface \"" + name + "\" is busy (in use by another program)";
  if (error == EINVAL)
    return "cannot use \"" + name + "\" as a TAP interface (it exists as another kind?)";
  return "cannot create TAP interface \"" + name + "\": " + std::strerror(error);
}

}  // namespace

struct TapPort::Impl {
  std::string name;  // set by the constructor, read-only after
  int fd = -1;       // set by the constructor, closed by the destructor
  int wake = -1;     // eventfd that stops the reader
  std::thread reader;
  std::atomic<uint64_t> in{0};
  std::atomic<uint64_t> out{0};
  std::atomic<uint64_t> write_errors{0};

  ~Impl() {
    if (fd >= 0) close(fd);
    if (wake >= 0) close(wake);
  }
};

TapPort::TapPort(Segment& segment, const std::string& interface_name)
    : impl_(std::make_unique<Impl>()), segment_(segment) {
  if (interface_name.size() >= IFNAMSIZ) {
    throw std::runtime_error("TapPort: interface name \"" + interface_name + "\" is longer than " +
                             std::to_string(IFNAMSIZ - 1) + " characters");
  }
  impl_->fd = open("/dev/net/tun", O_RDWR | O_CLOEXEC);
  if (impl_->fd < 0) throw std::runtime_error("TapPort: " + OpenFailure(errno));
  ifreq request{};
  request.ifr_flags = IFF_TAP | IFF_NO_PI;
  std::strncpy(request.ifr_name, interface_name.c_str(), IFNAMSIZ - 1);
  if (ioctl(impl_->fd, TUNSETIFF, &request) < 0) {
    throw std::runtime_error("TapPort: " + CreateFailure(interface_name, errno));
  }
  impl_->name = request.ifr_name;
  impl_->wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (impl_->wake < 0) {
    throw std::runtime_error(std::string("TapPort: eventfd: ") + std::strerror(errno));
  }
  segment_.Attach(this);
  impl_->reader = std::thread([this] {
    std::vector<uint8_t> buffer(kReadBuffer);
    for (;;) {
      pollfd fds[2] = {{impl_->fd, POLLIN, 0}, {impl_->wake, POLLIN, 0}};
      if (poll(fds, 2, -1) < 0) {
        if (errno == EINTR) continue;
        return;
      }
      if (fds[1].revents != 0) return;  // asked to stop
      if (fds[0].revents & (POLLERR | POLLHUP | POLLNVAL)) return;
      if ((fds[0].revents & POLLIN) == 0) continue;
      const ssize_t n = read(impl_->fd, buffer.data(), buffer.size());
      if (n < 0) {
        if (errno == EINTR || errno == EAGAIN) continue;
        return;
      }
      Frame frame;
      frame.bytes.assign(buffer.begin(), buffer.begin() + n);
      if (frame.bytes.size() < kMinimumFrame) frame.bytes.resize(kMinimumFrame, 0);
      impl_->in.fetch_add(1);
      segment_.Send(this, frame);
    }
  });
}

TapPort::~TapPort() {
  segment_.Detach(this);
  const uint64_t one = 1;
  if (write(impl_->wake, &one, sizeof one) < 0) {
    // The eventfd cannot be full after one write; nothing else can fail here.
  }
  if (impl_->reader.joinable()) impl_->reader.join();
}

void TapPort::Receive(const Frame& frame) {
  const ssize_t n = write(impl_->fd, frame.bytes.data(), frame.bytes.size());
  if (n == static_cast<ssize_t>(frame.bytes.size())) {
    impl_->out.fetch_add(1);
  } else {
    impl_->write_errors.fetch_add(1);  // interface down, or the host refused it
  }
}

const std::string& TapPort::interface_name() const { return impl_->name; }
uint64_t TapPort::frames_in() const { return impl_->in.load(); }
uint64_t TapPort::frames_out() const { return impl_->out.load(); }
uint64_t TapPort::write_errors() const { return impl_->write_errors.load(); }

}  // namespace sim
