#include "common/fs.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "common/quote.hpp"

namespace corvena {

namespace {

// The whole file, or its first `limit` + 1 bytes when it is longer.
Result<std::string> read_up_to(const std::string& path, std::uint64_t limit, IoFailure& failure_out) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        failure_out = IoFailure::from_errno(errno);
        return BufrError::io(failure_out);
    }
    std::string data;
    struct stat st {};
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0 &&
        static_cast<std::uint64_t>(st.st_size) <= limit) {
        data.reserve(static_cast<std::size_t>(st.st_size));
    }
    char chunk[1 << 16];
    for (;;) {
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n < 0) {
            if (errno == EINTR) continue;
            failure_out = IoFailure::from_errno(errno);
            ::close(fd);
            return BufrError::io(failure_out);
        }
        if (n == 0) break;
        data.append(chunk, static_cast<std::size_t>(n));
        if (data.size() > limit) break;
    }
    ::close(fd);
    return data;
}

}  // namespace

BufrError table_file_too_large(const std::string& path) {
    return BufrError::table_parse("table file " + lossy_utf8(path) + " is larger than " +
                                  std::to_string(kMaxTableFileBytes >> 20) + " MiB");
}

Result<std::string> read_whole_file(const std::string& path, IoFailure& failure_out) {
    return read_up_to(path, UINT64_MAX, failure_out);
}

Result<std::string> read_text_file(const std::string& path) {
    IoFailure failure;
    auto r = read_up_to(path, kMaxTableFileBytes, failure);
    if (!r) return r;
    if (r->size() > kMaxTableFileBytes) return table_file_too_large(path);
    if (valid_utf8_prefix(*r) != r->size()) {
        return BufrError::io(IoFailure::plain("stream did not contain valid UTF-8"));
    }
    return r;
}

std::string join_path(const std::string& dir, const std::string& name) {
    if (dir.empty()) return name;
    if (dir.back() == '/') return dir + name;
    return dir + "/" + name;
}

bool path_exists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

bool is_directory(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool is_regular_file(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

Result<std::vector<std::string>> list_dir_matching(const std::string& dir, const std::string& prefix,
                                                   const std::string& suffix) {
    DIR* d = ::opendir(dir.c_str());
    if (d == nullptr) return BufrError::io(IoFailure::from_errno(errno));
    std::vector<std::string> names;
    for (;;) {
        errno = 0;
        struct dirent* e = ::readdir(d);
        if (e == nullptr) {
            if (errno != 0) {
                const int code = errno;
                ::closedir(d);
                return BufrError::io(IoFailure::from_errno(code));
            }
            break;
        }
        const std::string raw = e->d_name;
        if (raw == "." || raw == "..") continue;
        const std::string name = lossy_utf8(raw);
        if (name.size() < prefix.size() || name.size() < suffix.size()) continue;
        if (name.compare(0, prefix.size(), prefix) != 0) continue;
        if (name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0) continue;
        names.push_back(raw);
    }
    ::closedir(d);
    std::sort(names.begin(), names.end());  // byte order of the names
    std::vector<std::string> paths;
    paths.reserve(names.size());
    for (const auto& n : names) paths.push_back(join_path(dir, n));
    return paths;
}

std::string file_name(const std::string& path) {
    std::size_t end = path.size();
    while (end > 1 && path[end - 1] == '/') --end;
    const std::size_t slash = path.rfind('/', end - 1);
    const std::size_t start = slash == std::string::npos ? 0 : slash + 1;
    return path.substr(start, end - start);
}

std::string file_stem(const std::string& name) {
    if (name == "..") return name;
    const std::size_t dot = name.rfind('.');
    if (dot == std::string::npos || dot == 0) return name;
    return name.substr(0, dot);
}

bool parent_path(const std::string& path, std::string& parent) {
    std::size_t end = path.size();
    while (end > 1 && path[end - 1] == '/') --end;
    if (end == 0) return false;
    const std::size_t slash = path.rfind('/', end - 1);
    if (slash == std::string::npos) {
        // A bare name's parent is the current directory.
        if (path == "/" ) return false;
        parent.clear();
        return true;
    }
    if (slash == 0) {
        if (end == 1) return false;  // "/" has no parent
        parent = "/";
        return true;
    }
    parent = path.substr(0, slash);
    return true;
}

}  // namespace corvena
