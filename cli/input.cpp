#include "input.hpp"

#include <fcntl.h>
#include <iconv.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

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

// RAII for one conversion descriptor; a descriptor is never shared between threads.
class Converter {
 public:
  explicit Converter(const std::string& from) : cd_(iconv_open("UTF-8", from.c_str())) {}
  ~Converter() {
    if (ok()) iconv_close(cd_);
  }
  Converter(const Converter&) = delete;
  Converter& operator=(const Converter&) = delete;
  bool ok() const noexcept { return cd_ != reinterpret_cast<iconv_t>(-1); }
  iconv_t get() const noexcept { return cd_; }

 private:
  iconv_t cd_;
};

bool convert_to_utf8(const std::string& encoding, const std::string& in, std::string& out,
                     std::string& error) {
  Converter converter(encoding);
  if (!converter.ok()) {
    error = "unknown encoding " + encoding;
    return false;
  }
  // iconv takes a non-const input pointer but never writes through it.
  char* src = const_cast<char*>(in.data());
  std::size_t src_left = in.size();
  char buffer[1 << 14];
  bool flushing = false;
  for (;;) {
    char* dst = buffer;
    std::size_t dst_left = sizeof buffer;
    std::size_t rc = flushing ? iconv(converter.get(), nullptr, nullptr, &dst, &dst_left)
                              : iconv(converter.get(), &src, &src_left, &dst, &dst_left);
    out.append(buffer, static_cast<std::size_t>(dst - buffer));
    if (rc != static_cast<std::size_t>(-1)) {
      if (flushing) return true;
      flushing = true;
      continue;
    }
    if (errno == E2BIG) continue;
    std::size_t offset = in.size() - src_left;
    if (errno == EINVAL) {
      error = "incomplete " + encoding + " character at the end of the input";
    } else {
      error = "not valid " + encoding + " at byte " + std::to_string(offset);
    }
    return false;
  }
}

}  // namespace

std::string display_name(std::string_view path) {
  return path == "-" ? std::string("(standard input)") : std::string(path);
}

std::optional<std::string> resolve_encoding(std::string_view name) {
  std::string candidates[2] = {std::string(name), {}};
  for (char c : name) {
    if (c != '-' && c != '_' && c != ' ') candidates[1].push_back(c);
  }
  for (const std::string& candidate : candidates) {
    if (candidate.empty()) continue;
    if (Converter(candidate).ok()) return candidate;
  }
  return std::nullopt;
}

std::optional<std::size_t> find_invalid_utf8(std::string_view bytes) noexcept {
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  const std::size_t n = bytes.size();
  std::size_t i = 0;
  while (i < n) {
    unsigned char c = p[i];
    if (c < 0x80) {
      ++i;
      continue;
    }
    std::size_t len;
    unsigned char lo = 0x80, hi = 0xBF;  // allowed range of the second byte
    if (c >= 0xC2 && c <= 0xDF) {
      len = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
      len = 3;
      if (c == 0xE0) lo = 0xA0;  // overlong
      if (c == 0xED) hi = 0x9F;  // surrogates
    } else if (c >= 0xF0 && c <= 0xF4) {
      len = 4;
      if (c == 0xF0) lo = 0x90;  // overlong
      if (c == 0xF4) hi = 0x8F;  // above U+10FFFF
    } else {
      return i;
    }
    if (n - i < len || p[i + 1] < lo || p[i + 1] > hi) return i;
    for (std::size_t k = 2; k < len; ++k) {
      if (p[i + k] < 0x80 || p[i + k] > 0xBF) return i;
    }
    i += len;
  }
  return std::nullopt;
}

bool read_input(std::string_view path, const std::optional<std::string>& encoding,
                std::string& text, std::string& error) {
  std::string bytes;
  if (path == "-") {
    if (!read_all(STDIN_FILENO, bytes, error)) return false;
  } else {
    std::string name(path);
    int fd = ::open(name.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
      error = std::strerror(errno);
      return false;
    }
    bool ok = read_all(fd, bytes, error);
    ::close(fd);
    if (!ok) return false;
  }

  if (encoding) {
    text.clear();
    if (!convert_to_utf8(*encoding, bytes, text, error)) return false;
  } else {
    if (auto bad = find_invalid_utf8(bytes)) {
      error = "not valid UTF-8 (byte " + std::to_string(*bad) +
              "); name its encoding with --encoding, for example --encoding latin-1";
      return false;
    }
    text = std::move(bytes);
  }
  if (std::string_view(text).starts_with(kByteOrderMark)) text.erase(0, kByteOrderMark.size());
  return true;
}

}  // namespace tallyfold::cli
