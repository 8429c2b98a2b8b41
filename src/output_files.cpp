#include "output_files.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <random>

namespace tavri {

// ---- TextSink --------------------------------------------------------------------

TextSink::TextSink(int fd) : fd_(fd), buffer_(new char[kSize]) {}

TextSink::~TextSink() = default;

void TextSink::Drain() {
    const char* p = buffer_.get();
    std::size_t left = used_;
    while (ok_ && left > 0) {
        const ssize_t written = write(fd_, p, left);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) {
            error_ = written < 0 ? errno : ENOSPC;
            ok_ = false;
            break;
        }
        p += written;
        left -= static_cast<std::size_t>(written);
    }
    used_ = 0;
}

char* FormatFixed6(double value, char* out) {
    if (std::isfinite(value)) return std::to_chars(out, out + kFixed6Room, value, std::chars_format::fixed, 6).ptr;
    // Not a number or infinite: the text is the C library's.
    return out + std::snprintf(out, kFixed6Room, "%lf", value);
}

void TextSink::Fixed6(double value) {
    if (kSize - used_ < kFixed6Room) Drain();
    used_ = static_cast<std::size_t>(FormatFixed6(value, buffer_.get() + used_) - buffer_.get());
}

void TextSink::Int(long long value) {
    if (kSize - used_ < 32) Drain();
    const auto result = std::to_chars(buffer_.get() + used_, buffer_.get() + kSize, value);
    used_ = static_cast<std::size_t>(result.ptr - buffer_.get());
}

void TextSink::Text(std::string_view text) {
    for (char c : text) Char(c);
}

bool TextSink::Flush() {
    Drain();
    return ok_;
}

// ---- Temporary names, and their removal on a signal --------------------------------

namespace {

// Named temporary files of this process: the signal handler removes them. A
// slot is filled before its name exists on disk and emptied after the name is
// gone, so the handler never misses one; it may try to remove a name twice,
// which is harmless.
constexpr int kSlots = 32;
constexpr std::size_t kNameSize = 16;
// Process-wide by nature, like the handler; threads claim slots atomically.
struct TemporarySlot {
    std::atomic<int> state;  // 0 free, 1 being filled, 2 holds a name
    int dir_fd;
    char name[kNameSize];
};
static_assert(std::atomic<int>::is_always_lock_free, "the signal handler reads the slots");
TemporarySlot g_temporaries[kSlots];

int Register(int dir_fd, const std::string& name) {
    for (int i = 0; i < kSlots; ++i) {
        int expected = 0;
        if (!g_temporaries[i].state.compare_exchange_strong(expected, 1)) continue;
        g_temporaries[i].dir_fd = dir_fd;
        std::snprintf(g_temporaries[i].name, kNameSize, "%s", name.c_str());
        g_temporaries[i].state.store(2);
        return i;
    }
    return -1;  // more outputs at once than slots: that name is not watched
}

void Unregister(int slot) {
    if (slot >= 0) g_temporaries[slot].state.store(0);
}

extern "C" void RemoveTemporariesAndDie(int signal_number) {
    for (TemporarySlot& slot : g_temporaries)
        if (slot.state.load() == 2) unlinkat(slot.dir_fd, slot.name, 0);
    std::signal(signal_number, SIG_DFL);
    std::raise(signal_number);
}

// ".tv" and six random letters or digits: short, so that a legal output name
// always leaves room for its temporary name.
std::string TemporaryName(std::mt19937_64& random) {
    static const char kChars[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    std::string name = ".tv";
    for (int i = 0; i < 6; ++i) name += kChars[random() % 36];
    return name;
}

// The name through which an unnamed temporary file gets a name of its own.
std::string ProcPath(int fd) { return "/proc/self/fd/" + std::to_string(fd); }

std::mt19937_64& Random() {
    thread_local std::mt19937_64 random{std::random_device{}() ^ (static_cast<std::uint64_t>(getpid()) << 32)};
    return random;
}

}  // namespace

void RemoveTemporariesOnSignals() {
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = RemoveTemporariesAndDie;
    sigemptyset(&action.sa_mask);
    for (int s : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&action.sa_mask, s);
    for (int s : {SIGINT, SIGTERM, SIGHUP}) {
        // A signal ignored from the start (nohup, a background job) stays
        // ignored: the run is meant to outlive it.
        struct sigaction current;
        if (sigaction(s, nullptr, &current) == 0 && current.sa_handler == SIG_IGN) continue;
        sigaction(s, &action, nullptr);
    }
}

// ---- OutputSet -----------------------------------------------------------------------

struct OutputSet::Pending {
    std::string path;      // the target
    int dir_fd = -1;       // its folder
    std::string base;      // its name in the folder
    int fd = -1;           // the temporary file while open
    std::string temp;      // the temporary file's name, "" while it has none
    int slot = -1;         // its slot for the signal handler

    Pending() = default;
    Pending(const Pending&) = delete;
    Pending& operator=(const Pending&) = delete;
    ~Pending() {
        if (fd >= 0) close(fd);
        if (!temp.empty()) unlinkat(dir_fd, temp.c_str(), 0);
        Unregister(slot);
        if (dir_fd >= 0) close(dir_fd);
    }

    // Gives the temporary file a name, when it has none yet.
    bool Name() {
        if (!temp.empty()) return true;
        const std::string proc = ProcPath(fd);
        for (int attempt = 0; attempt < 100; ++attempt) {
            const std::string name = TemporaryName(Random());
            slot = Register(dir_fd, name);
            if (linkat(AT_FDCWD, proc.c_str(), dir_fd, name.c_str(), AT_SYMLINK_FOLLOW) == 0) {
                temp = name;
                return true;
            }
            Unregister(slot);
            slot = -1;
            if (errno != EEXIST) return false;
        }
        return false;
    }
};

OutputSet::OutputSet(Temporaries temporaries) : temporaries_(temporaries) {}

OutputSet::~OutputSet() { Discard(); }

void OutputSet::Discard() { pending_.clear(); }

namespace {

// Opens an unnamed temporary file in the folder (unless `named`), or else a named one.
int OpenTemporary(int dir_fd, bool named, std::string& name, int& slot) {
    if (!named) {
        const int fd = openat(dir_fd, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL && errno != ENOENT) return fd;
        // It can be named only through /proc: without it (a chroot, a
        // container) it could never be put in place, so a named one is used.
        struct stat info;
        if (fd >= 0 && stat(ProcPath(fd).c_str(), &info) == 0) return fd;
        if (fd >= 0) close(fd);
    }
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::string candidate = TemporaryName(Random());
        slot = Register(dir_fd, candidate);
        const int opened = openat(dir_fd, candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (opened >= 0) {
            name = candidate;
            return opened;
        }
        Unregister(slot);
        slot = -1;
        if (errno != EEXIST) return -1;
    }
    return -1;
}

}  // namespace

bool OutputSet::Failed() {
    error_ = errno;
    return false;
}

bool OutputSet::Write(const std::string& path, const std::function<void(TextSink&)>& fill) {
    auto output = std::make_unique<Pending>();
    output->path = path;
    const std::size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    output->base = slash == std::string::npos ? path : path.substr(slash + 1);
    if (output->base.empty()) {
        errno = EISDIR;
        return Failed();
    }
    output->dir_fd = open(folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (output->dir_fd < 0) return Failed();
    // A folder in the way, or a name too long for the folder, is reported
    // now, not when the outputs are committed and earlier ones are replaced.
    struct stat target;
    const bool exists = fstatat(output->dir_fd, output->base.c_str(), &target, 0) == 0;
    if (!exists && errno == ENAMETOOLONG) return Failed();
    if (exists && S_ISDIR(target.st_mode)) {
        errno = EISDIR;
        return Failed();
    }
    output->fd = OpenTemporary(output->dir_fd, temporaries_ == Temporaries::kNamed, output->temp, output->slot);
    if (output->fd < 0) return Failed();
    // A replaced file keeps its permission bits.
    if (exists && S_ISREG(target.st_mode) && fchmod(output->fd, target.st_mode & 07777) != 0) return Failed();
    Pending& written = *output;
    pending_.push_back(std::move(output));
    TextSink sink(written.fd);
    fill(sink);
    if (!sink.Flush() || fsync(written.fd) != 0) {
        if (sink.ok()) error_ = errno;
        else error_ = sink.error();
        pending_.pop_back();
        return false;
    }
    return true;
}

bool OutputSet::Commit(std::string* failed) {
    for (std::size_t i = 0; i < pending_.size(); ++i) {
        Pending& output = *pending_[i];
        if (!output.Name() || renameat(output.dir_fd, output.temp.c_str(), output.dir_fd, output.base.c_str()) != 0) {
            error_ = errno;
            if (failed != nullptr) *failed = output.path;
            pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(i));
            Discard();
            return false;
        }
        output.temp.clear();  // renamed: nothing of it to remove
        Unregister(output.slot);
        output.slot = -1;
    }
    pending_.clear();
    return true;
}

}  // namespace tavri
