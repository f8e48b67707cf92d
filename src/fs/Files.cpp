// The parts of the file layer that are the same on every system, built on the system's own
// primitives (FilesPosix.cpp, FilesWin32.cpp). Reads go to the end instead of trusting the size,
// so that pipes and files that grow meanwhile cannot overrun a limit.
#include "fs/Files.h"

#include <algorithm>
#include <cerrno>
#include <system_error>

namespace quillon {

std::string ReadWholeFile(const std::string& path, std::size_t maxSize) {
    InputFile in(path);
    std::string data;
    data.reserve(static_cast<std::size_t>(std::min<std::uint64_t>(in.sizeHint(), std::uint64_t{maxSize} + 1)));
    char chunk[65536];
    for (;;) {
        const std::size_t n = in.read(chunk, sizeof chunk);
        if (n == 0) break;
        if (n > maxSize - data.size()) throw std::system_error(EFBIG, std::generic_category(), path);
        data.append(chunk, n);
    }
    return data;
}

std::string SystemReason(int error) { return std::generic_category().message(error); }

std::filesystem::path PathFromUtf8(const std::string& utf8) {
    return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}

}  // namespace quillon
