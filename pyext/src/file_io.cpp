#include "file_io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <new>

#include "destination_path.h"

namespace tessalumen::py {

std::atomic<std::uint64_t> NEXT_TEMPORARY_FILE{0};

namespace {

constexpr const char* WRITE_ZERO_MESSAGE = "failed to write whole buffer";
constexpr const char* NO_TEMPORARY_MESSAGE = "could not allocate a temporary sibling file";
constexpr const char* NO_FILE_NAME_MESSAGE = "destination must have a file name";
constexpr std::size_t READ_CHUNK = 64 * 1024;

// Closes the descriptor on every path.
class FileDescriptor {
public:
    explicit FileDescriptor(int fd) : fd_(fd) {}
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    ~FileDescriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    [[nodiscard]] int get() const { return fd_; }

private:
    int fd_;
};

std::expected<void, IoError> write_all(int fd, std::span<const std::uint8_t> bytes) {
    while (!bytes.empty()) {
        const ssize_t written = ::write(fd, bytes.data(), bytes.size());
        if (written < 0) {
            if (errno == EINTR) continue;
            return std::unexpected(IoError::from_errno(errno));
        }
        if (written == 0) return std::unexpected(IoError::own(0, WRITE_ZERO_MESSAGE));
        bytes = bytes.subspan(static_cast<std::size_t>(written));
    }
    return {};
}

// The file name in the temporary name is the readable form of `name`, with
// invalid UTF-8 replaced.
std::string temporary_path(const std::string& parent, std::string_view name, std::uint64_t counter) {
    std::string path = parent;
    if (!path.ends_with('/')) path += '/';
    path += '.';
    path += replace_invalid_utf8(name);
    path += ".tessalumen-";
    path += std::to_string(::getpid());
    path += '-';
    path += std::to_string(counter);
    return path;
}

bool holds_nul(const std::string& path) { return path.find('\0') != std::string::npos; }

IoError nul_in_path() { return IoError::own(EINVAL, NUL_IN_PATH_MESSAGE); }

}  // namespace

IoError IoError::from_errno(int code) {
    char buffer[256];
    const char* description = ::strerror_r(code, buffer, sizeof buffer);
    return {code, std::string(description) + " (os error " + std::to_string(code) + ")"};
}

IoError IoError::own(int code, std::string message) { return {code, std::move(message)}; }

std::expected<Bytes, ReadFailure> read_encoded(const std::string& path, std::optional<std::uint64_t> limit) {
    if (holds_nul(path)) return std::unexpected(nul_in_path());
    int fd;
    do {
        fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return std::unexpected(IoError::from_errno(errno));
    FileDescriptor file(fd);

    // At most limit + 1 bytes are read, so an oversized file costs no more than that.
    const std::uint64_t cap = limit ? (*limit == UINT64_MAX ? UINT64_MAX : *limit + 1) : UINT64_MAX;
    Bytes bytes;
    try {
        struct stat info {};
        if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_size > 0) {
            bytes.reserve(static_cast<std::size_t>(std::min<std::uint64_t>(static_cast<std::uint64_t>(info.st_size), cap)));
        }
        while (bytes.size() < cap) {
            const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(READ_CHUNK, cap - bytes.size()));
            const std::size_t old_size = bytes.size();
            bytes.resize(old_size + want);
            const ssize_t got = ::read(fd, bytes.data() + old_size, want);
            if (got < 0) {
                bytes.resize(old_size);
                if (errno == EINTR) continue;
                return std::unexpected(IoError::from_errno(errno));
            }
            bytes.resize(old_size + static_cast<std::size_t>(got));
            if (got == 0) break;
        }
    } catch (const std::bad_alloc&) {
        return std::unexpected(IoError::from_errno(ENOMEM));
    }
    if (limit && bytes.size() > *limit) return std::unexpected(TooLarge{bytes.size(), *limit});
    return bytes;
}

std::expected<void, IoError> write_atomically(const std::string& destination, std::span<const std::uint8_t> bytes) {
    const std::optional<std::string_view> name = file_name_of(destination);
    if (!name) return std::unexpected(IoError::own(0, NO_FILE_NAME_MESSAGE));
    if (holds_nul(destination)) return std::unexpected(nul_in_path());
    const std::string parent = parent_of(destination);

    std::string temporary;
    int fd = -1;
    for (int attempt = 0; attempt < TEMPORARY_FILE_ATTEMPTS && fd < 0; ++attempt) {
        temporary = temporary_path(parent, *name, NEXT_TEMPORARY_FILE.fetch_add(1));
        do {
            fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        } while (fd < 0 && errno == EINTR);
        if (fd < 0 && errno != EEXIST) return std::unexpected(IoError::from_errno(errno));
    }
    if (fd < 0) return std::unexpected(IoError::own(EEXIST, NO_TEMPORARY_MESSAGE));

    std::expected<void, IoError> result;
    {
        FileDescriptor file(fd);
        result = write_all(fd, bytes);
        if (result && ::fsync(fd) != 0) result = std::unexpected(IoError::from_errno(errno));
    }
    if (result && ::rename(temporary.c_str(), destination.c_str()) != 0) {
        result = std::unexpected(IoError::from_errno(errno));
    }
    if (!result) ::unlink(temporary.c_str());
    return result;
}

std::expected<void, IoError> write_plainly(const std::string& path, std::span<const std::uint8_t> bytes) {
    if (holds_nul(path)) return std::unexpected(nul_in_path());
    int fd;
    do {
        fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return std::unexpected(IoError::from_errno(errno));
    FileDescriptor file(fd);
    return write_all(fd, bytes);
}

}  // namespace tessalumen::py
