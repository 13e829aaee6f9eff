#include "input.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

namespace tallyfold::cli {
namespace {

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

bool read_all(int fd, std::string& out, std::string& error) {
  char buffer[1 << 16];
  for (;;) {
    ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n > 0) {
      out.append(buffer, static_cast<std::size_t>(n));
    } else if (n == 0) {
      return true;
    } else if (errno != EINTR) {
      error = std::strerror(errno);
      return false;
    }
  }
}

}  // namespace

std::string display_name(std::string_view path) {
  return path == "-" ? std::string("(standard input)") : std::string(path);
}

bool read_bytes(std::string_view path, std::string& bytes, std::string& error) {
  bytes.clear();
  if (path == "-") return read_all(STDIN_FILENO, bytes, error);
  std::string name(path);
  int fd = ::open(name.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    error = std::strerror(errno);
    return false;
  }
  bool ok = read_all(fd, bytes, error);
  ::close(fd);
  return ok;
}

bool read_input(std::string_view path, const std::optional<std::string>& encoding,
                std::string& text, std::string& error) {
  std::string bytes;
  if (!read_bytes(path, bytes, error)) return false;

  if (encoding) {
    std::vector<Diagnostic> unused;
    auto decoded = decode_statement_bytes(bytes, encoding, unused);
    if (!decoded) {
      error = std::get<Other>(decoded.error().error).message;
      return false;
    }
    text = std::move(decoded->text);
    return true;
  }
  if (auto bad = find_invalid_utf8(bytes)) {
    error = "not valid UTF-8 (byte " + std::to_string(*bad) +
            "); name its encoding with --encoding, for example --encoding latin-1";
    return false;
  }
  text = std::move(bytes);
  if (std::string_view(text).starts_with(kByteOrderMark)) text.erase(0, kByteOrderMark.size());
  return true;
}

}  // namespace tallyfold::cli
