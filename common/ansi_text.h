#pragma once
// Text at the file boundary: 8-bit ANSI code page outside, UTF-8 inside.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace quarn {

inline constexpr std::string_view kCrLf = "\r\n";

// Splits file bytes into lines the way the files are read back: a line ends at
// CR or CRLF; a lone LF stays inside the line; no line follows a final terminator.
std::vector<std::string> SplitLines(std::string_view bytes);

class TextCodec {
 public:
  virtual ~TextCodec() = default;
  virtual std::string ToAnsi(std::string_view utf8) const = 0;
  virtual std::string FromAnsi(std::string_view ansi) const = 0;
};

// Windows-1252, the ANSI code page of a Brazilian-Portuguese system. Characters
// it cannot hold become '?', as the system's own conversion does.
class Cp1252Codec final : public TextCodec {
 public:
  std::string ToAnsi(std::string_view utf8) const override;
  std::string FromAnsi(std::string_view ansi) const override;
};

// Lower case for the characters the ANSI code page holds (ASCII and Latin-1 letters).
std::string LowerCase(std::string_view utf8);

// A field of decimal digits only, no sign, at most `max`; false otherwise.
bool ParseDecimal(std::string_view text, uint64_t max, uint64_t& value);

// Joins a folder and a name with exactly one backslash between them.
std::string JoinPath(std::string_view folder, std::string_view name);

}  // namespace quarn
