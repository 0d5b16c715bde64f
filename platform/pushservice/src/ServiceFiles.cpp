#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "OpenSSLSupport.h"

namespace objc {

void writeServiceFile(const std::string& path, std::string_view text, bool secret) {
  // A new file is made with its final permissions, so a key is never
  // readable by others, not even for a moment.
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, secret ? 0600 : 0644);
  if (fd < 0) throw PushServiceError(path + ": cannot write: " + std::strerror(errno));
  if (secret) ::fchmod(fd, 0600);  // an existing file keeps its mode otherwise
  size_t written = 0;
  while (written < text.size()) {
    const ssize_t n = ::write(fd, text.data() + written, text.size() - written);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      const int error = errno;
      ::close(fd);
      throw PushServiceError(path + ": cannot write: " + std::strerror(error));
    }
    written += static_cast<size_t>(n);
  }
  if (::close(fd) != 0) throw PushServiceError(path + ": cannot write: " + std::strerror(errno));
}

}  // namespace objc
