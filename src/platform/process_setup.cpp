#include "platform/process_setup.hpp"

#include <cerrno>
#include <csignal>

#include <fcntl.h>
#include <unistd.h>

void prepare_process() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    // open gives the lowest free descriptor: this one.
    const int opened = ::open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
    if (opened >= 0 && opened != fd) ::close(opened);
  }
  ::signal(SIGPIPE, SIG_IGN);
}
