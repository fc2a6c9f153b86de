#include "bundle/output.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

#include "bundle/interrupt.h"

namespace {

int write_plain(int fd, const uint8_t* bytes, size_t length)
{
    while (length > 0) {
        ssize_t n = ::write(fd, bytes, length);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return -1;
        bytes += n;
        length -= (size_t)n;
    }
    return 0;
}

// zlib's own text, without the "<fd:N>: " it puts before a system error.
std::string gz_error(gzFile gz)
{
    int code = 0;
    std::string text = gzerror(gz, &code);
    size_t colon = text.find(": ");
    if (text.rfind("<fd:", 0) == 0 && colon != std::string::npos)
        text.erase(0, colon + 2);
    return text;
}

int sink_write(void* context, const void* data, size_t length)
{
    pending_output* out = static_cast<pending_output*>(context);
    const uint8_t* bytes = static_cast<const uint8_t*>(data);
    if (out->gz == nullptr) {
        if (write_plain(out->fd, bytes, length) < 0) {
            out->error = strerror(errno);
            return -1;
        }
        out->bytes += length;
        return 0;
    }
    while (length > 0) {
        unsigned piece = length > (1u << 30) ? (1u << 30) : (unsigned)length;
        if (gzwrite(out->gz, bytes, piece) != (int)piece) {
            out->error = gz_error(out->gz);
            return -1;
        }
        bytes += piece;
        length -= piece;
    }
    return 0;
}

// The file the package is to end up in: `path`, or the file a link there leads
// to, so that the link stays. 0, or -1 with *error set when that is something
// other than a regular file, which renaming over would replace (a device, a FIFO,
// a directory), or a file with other hard links, which would keep the old bytes
// under their names while this one took the new.
int resolve_output(const std::string& path, std::string* resolved, std::string* error)
{
    namespace fs = std::filesystem;
    fs::path current(path);
    for (int links = 0;; ++links) {
        struct stat st;
        // A name not taken yet is created; where that cannot be done, making the
        // file beside it says why.
        bool exists = ::lstat(current.c_str(), &st) == 0;
        if (!exists || S_ISREG(st.st_mode)) {
            if (exists && st.st_nlink > 1) {
                *error = path + ": a file with " + std::to_string(st.st_nlink) +
                         " hard links, which a new file would part from; nothing written "
                         "(remove the other names, or write elsewhere)";
                return -1;
            }
            *resolved = current.string();
            return 0;
        }
        if (!S_ISLNK(st.st_mode)) {
            *error = path + ": exists and is not a regular file";
            return -1;
        }
        std::error_code ec;
        fs::path target = fs::read_symlink(current, ec);
        if (ec || links == 40) {
            *error = path + ": " + (ec ? ec.message() : std::string(strerror(ELOOP)));
            return -1;
        }
        current = target.is_absolute() ? target : current.parent_path() / target;
    }
}

// Permission bits a newly created file would get under the current umask.
mode_t default_mode()
{
    mode_t mask = ::umask(0);
    ::umask(mask);
    return 0666 & ~mask;
}

}  // namespace

pending_output::~pending_output()
{
    if (gz != nullptr)
        gzclose(gz);
    if (fd >= 0)
        ::close(fd);
    if (!temp_path.empty()) {
        interrupt_set_output(nullptr);
        ::unlink(temp_path.c_str());
    }
}

int output_open(pending_output* out, const std::string& path, bool gzip, std::string* error)
{
    namespace fs = std::filesystem;
    if (fs::path(path).filename().empty()) {
        *error = path + ": names a directory, not a file";
        return -1;
    }
    std::string resolved;
    if (resolve_output(path, &resolved, error) < 0)
        return -1;
    fs::path final_path(resolved);
    fs::path dir = final_path.parent_path();
    std::string temp = (dir / ("." + final_path.filename().string() + ".XXXXXX")).string();
    int fd = ::mkstemp(temp.data());
    if (fd < 0) {
        *error = "cannot create a file beside " + path + ": " + strerror(errno);
        return -1;
    }
    out->final_path = resolved;
    out->temp_path = temp;
    out->fd = fd;
    interrupt_set_output(temp.c_str());
    if (::fchmod(fd, default_mode()) < 0) {
        *error = temp + ": " + strerror(errno);
        return -1;
    }
    if (gzip) {
        // zlib takes ownership of the descriptor it is given; ours stays open for fsync.
        int gz_fd = ::dup(fd);
        out->gz = gz_fd < 0 ? nullptr : gzdopen(gz_fd, "wb");
        if (out->gz == nullptr) {
            if (gz_fd >= 0)
                ::close(gz_fd);
            *error = std::string("cannot start compression: ") + strerror(errno);
            return -1;
        }
        // Large buffers keep compression from being slowed by small writes.
        gzbuffer(out->gz, 1 << 17);
    }
    return 0;
}

bundle_sink output_sink(pending_output* out)
{
    return bundle_sink{sink_write, out};
}

int output_commit(pending_output* out, std::string* error)
{
    if (out->gz != nullptr) {
        int r = gzclose(out->gz);
        out->gz = nullptr;
        if (r != Z_OK) {
            *error = out->temp_path + ": " + (r == Z_ERRNO ? strerror(errno) : "compression failed");
            return -1;
        }
    }
    struct stat st;
    if (::fsync(out->fd) < 0 || ::fstat(out->fd, &st) < 0) {
        *error = out->temp_path + ": " + strerror(errno);
        return -1;
    }
    out->bytes = (uint64_t)st.st_size;
    int r = ::close(out->fd);
    out->fd = -1;
    if (r < 0) {
        *error = out->temp_path + ": " + strerror(errno);
        return -1;
    }
    if (::rename(out->temp_path.c_str(), out->final_path.c_str()) < 0) {
        *error = "cannot rename " + out->temp_path + " to " + out->final_path + ": " + strerror(errno);
        return -1;
    }
    interrupt_set_output(nullptr);
    out->temp_path.clear();
    // The new name must survive a power cut as well as the bytes did.
    std::string dir = std::filesystem::path(out->final_path).parent_path().string();
    int dir_fd = ::open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir_fd >= 0) {
        ::fsync(dir_fd);
        ::close(dir_fd);
    }
    return 0;
}
