// Writing the picture: to standard output, in place, or replacing a file whole.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "plot.h"
#include "util.h"

namespace tavri_plot {

namespace {

// Writes all of `text` to `fd`; 0 on success, else the errno of the failure.
int WriteAll(int fd, const std::string& text) {
    const char* data = text.data();
    std::size_t left = text.size();
    while (left > 0) {
        const ssize_t written = write(fd, data, left);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return written < 0 ? errno : EIO;
        data += written;
        left -= static_cast<std::size_t>(written);
    }
    return 0;
}

std::string CannotWrite(const std::string& what, int failure) {
    return "cannot write " + what + (failure != 0 ? std::string(": ") + std::strerror(failure) : std::string());
}

// Devices, FIFOs and links (/dev/stdout among them) keep what they are: the
// text goes through them as through a plain open and write.
bool WriteInPlace(const std::string& path, const std::string& text, std::string& error) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    int failure = fd < 0 ? errno : WriteAll(fd, text);
    if (fd >= 0 && close(fd) != 0 && failure == 0) failure = errno;
    if (failure == 0) return true;
    error = CannotWrite(Shown(path, 400), failure);
    return false;
}

bool ReplaceFile(const std::string& path, const std::string& text, std::string& error) {
    errno = 0;
    if (WriteFileAtomically(path, text) == 1) return true;
    // The writer returns no reason; errno still holds the one of its failed call.
    error = CannotWrite(Shown(path, 400), errno);
    return false;
}

}  // namespace

bool WriteOutput(const std::string& path, const std::string& text, std::string& error) {
    if (path == "-") {
        const int failure = WriteAll(STDOUT_FILENO, text);
        if (failure == 0) return true;
        error = CannotWrite("standard output", failure);
        return false;
    }
    struct stat status;
    if (lstat(path.c_str(), &status) == 0 && !S_ISREG(status.st_mode)) return WriteInPlace(path, text, error);
    return ReplaceFile(path, text, error);
}

}  // namespace tavri_plot
