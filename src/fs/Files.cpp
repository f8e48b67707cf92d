// The parts of the file layer that are the same on every system, built on the system's own
// primitives (FilesPosix.cpp, FilesWin32.cpp). Reads go to the end instead of trusting the size,
// so that pipes and files that grow meanwhile cannot overrun a limit.
#include "fs/Files.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <memory>
#include <system_error>

#include "core/LargeBlock.h"

namespace quillon {

namespace {

// The one read loop: into memory that grow(capacity) provides (keeping what it held), to the
// end of the file, never more than maxSize bytes. Returns how many bytes were read.
template <typename Grow>
std::size_t ReadInto(const std::string& path, std::size_t maxSize, Grow grow) {
    InputFile in(path);
    constexpr std::size_t kMax = std::numeric_limits<std::size_t>::max();
    const std::size_t ceiling = maxSize == kMax ? kMax : maxSize + 1;  // one more shows "too long"
    // One spare byte beyond the size shows at once whether the file grew meanwhile (or has no
    // size, like a pipe).
    std::size_t capacity = static_cast<std::size_t>(std::min<std::uint64_t>(in.sizeHint(), ceiling - 1)) + 1;
    char* data = grow(capacity);
    std::size_t size = 0;
    for (;;) {
        if (size == capacity) {
            if (size > maxSize) break;
            capacity = capacity > ceiling / 2 ? ceiling : std::min(ceiling, std::max<std::size_t>(capacity * 2, 4096));
            data = grow(capacity);
        }
        const std::size_t n = in.read(data + size, capacity - size);
        if (n == 0) break;
        size += n;
    }
    if (size > maxSize) throw std::system_error(EFBIG, std::generic_category(), path);
    return size;
}

}  // namespace

void FileBlock::Free::operator()(char* block) const noexcept { FreeLargeBlock(block); }

FileBlock ReadWholeFileBlock(const std::string& path, std::size_t maxSize) {
    FileBlock file;
    std::size_t held = 0;
    file.size_ = ReadInto(path, maxSize, [&](std::size_t capacity) {
        std::unique_ptr<char[], FileBlock::Free> bigger(static_cast<char*>(AllocateLargeBlock(capacity)));
        if (held != 0) std::memcpy(bigger.get(), file.data_.get(), held);
        file.data_ = std::move(bigger);
        held = capacity;
        return file.data_.get();
    });
    return file;
}

std::string ReadWholeFile(const std::string& path, std::size_t maxSize) {
    std::string data;
    data.resize(ReadInto(path, maxSize, [&](std::size_t capacity) {
        data.resize(capacity);
        return data.data();
    }));
    return data;
}

std::string SystemReason(int error) { return std::generic_category().message(error); }

std::filesystem::path PathFromUtf8(const std::string& utf8) {
    return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}

}  // namespace quillon
