// The BVH reader: ParseBvhText and ParseBvhFile.
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstring>
#include <fstream>
#include <limits>
#include <sstream>
#include <string_view>
#include <system_error>

#include "bvh.h"
#include "bvh_text.h"

namespace bvh {
namespace {

using text::IsBlank;
using text::IsLineEnd;
using text::IsSpace;
using text::Quote;

bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i]))) {
      return false;
    }
  }
  return true;
}

std::string_view Trim(std::string_view s) {
  while (!s.empty() && IsSpace(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsSpace(s.back())) s.remove_suffix(1);
  return s;
}

// The whole token must be a finite number. strtod would depend on the C locale's decimal point;
// from_chars does not.
bool ParseDouble(std::string_view token, double* out) {
  if (token.size() > 1 && token[0] == '+' && token[1] != '-') token.remove_prefix(1);
  const char* end = token.data() + token.size();
  double value = 0;
  auto [ptr, ec] = std::from_chars(token.data(), end, value);
  if (ec != std::errc() || ptr != end || !std::isfinite(value)) return false;
  *out = value;
  return true;
}

// Parsed straight to float: going through double could round twice and lose the round trip.
bool ParseFloat(std::string_view token, float* out) {
  if (token.size() > 1 && token[0] == '+' && token[1] != '-') token.remove_prefix(1);
  const char* end = token.data() + token.size();
  float value = 0;
  auto [ptr, ec] = std::from_chars(token.data(), end, value);
  if (ec == std::errc::result_out_of_range && ptr == end) {
    // Too small for a normal float: what the float gets is 0 or a subnormal, which is fine.
    // Too large is an error.
    double wide = 0;
    if (!ParseDouble(token, &wide) || std::fabs(wide) > 1.0) return false;
    *out = static_cast<float>(wide);
    return true;
  }
  if (ec != std::errc() || ptr != end || !std::isfinite(value)) return false;
  *out = value;
  return true;
}

int ChannelCode(std::string_view name) {
  for (int i = 0; i < 6; ++i) {
    if (EqualsNoCase(name, ChannelName(i))) return i;
  }
  return -1;
}

bool IsKeyword(std::string_view token) {
  static const char* const kKeywords[] = {"HIERARCHY", "ROOT",   "JOINT", "End", "OFFSET",
                                          "CHANNELS",  "MOTION", "{",     "}"};
  for (const char* keyword : kKeywords) {
    if (EqualsNoCase(token, keyword)) return true;
  }
  return false;
}

// Walks the text keeping the line number. A line ends at "\r\n", "\n" or a lone "\r", so files
// with CRLF, LF or a mix of them read the same.
class Cursor {
 public:
  explicit Cursor(std::string_view text) : mText(text) {
    if (mText.substr(0, 3) == "\xEF\xBB\xBF") mPos = 3;  // UTF-8 byte order mark
  }

  // Skips blanks and line ends, then reads one run of non-space characters. False at the end.
  bool NextToken(std::string_view* token, int* line) {
    while (mPos < mText.size() && IsSpace(mText[mPos])) {
      if (IsLineEnd(mText[mPos])) {
        SkipLineEnd();
      } else {
        ++mPos;
      }
    }
    if (mPos >= mText.size()) return false;
    size_t start = mPos;
    while (mPos < mText.size() && !IsSpace(mText[mPos])) ++mPos;
    *token = mText.substr(start, mPos - start);
    *line = mLine;
    return true;
  }

  bool PeekToken(std::string_view* token, int* line) {
    Cursor copy = *this;
    return copy.NextToken(token, line);
  }

  // The rest of the current line, without its line end, which stays unread.
  std::string_view RestOfLine() {
    size_t start = mPos;
    while (mPos < mText.size() && !IsLineEnd(mText[mPos])) ++mPos;
    return mText.substr(start, mPos - start);
  }

  // Reads from the current position to the end of the line and moves past the line end.
  bool NextLine(std::string_view* text, int* line) {
    if (mPos >= mText.size()) return false;
    *line = mLine;
    *text = RestOfLine();
    if (mPos < mText.size()) SkipLineEnd();
    return true;
  }

  // The number of the file's last line, for errors found at the end of the text: a final line
  // end does not open a line of its own.
  int LastLine() const {
    bool endsWithLineEnd = !mText.empty() && IsLineEnd(mText.back());
    return endsWithLineEnd && mLine > 1 ? mLine - 1 : mLine;
  }

 private:
  // REQUIRES: mText[mPos] is '\r' or '\n'.
  void SkipLineEnd() {
    if (mText[mPos] == '\r' && mPos + 1 < mText.size() && mText[mPos + 1] == '\n') ++mPos;
    ++mPos;
    ++mLine;
  }

  std::string_view mText;
  size_t mPos = 0;
  int mLine = 1;
};

class Parser {
 public:
  Parser(const std::string& text, const std::string& sourceName)
      : mCursor(text), mSource(sourceName), mTextSize(text.size()) {}

  bool Parse(Clip* clip, std::string* error) {
    *clip = Clip();
    bool ok = ParseHierarchy(&clip->mRoot) && ParseMotion(clip);
    if (!ok && error != nullptr) *error = mError;
    return ok;
  }

 private:
  bool Fail(int line, const std::string& message) {
    mError = mSource + ":" + std::to_string(line) + ": " + message;
    return false;
  }

  bool ParseHierarchy(Joint* root) {
    std::string_view token;
    int line = 0;
    if (!mCursor.NextToken(&token, &line))
      return Fail(mCursor.LastLine(), "empty file, expected HIERARCHY");
    if (!EqualsNoCase(token, "HIERARCHY")) {
      return Fail(line, "expected HIERARCHY, found " + Quote(token));
    }
    if (!mCursor.NextToken(&token, &line))
      return Fail(mCursor.LastLine(), "expected ROOT after HIERARCHY");
    if (!EqualsNoCase(token, "ROOT")) return Fail(line, "expected ROOT, found " + Quote(token));
    if (!ParseJoint("ROOT", line, 0, root)) return false;

    if (!mCursor.NextToken(&token, &line))
      return Fail(mCursor.LastLine(), "missing MOTION section");
    if (token == "}") return Fail(line, "unbalanced braces: '}' without a matching '{'");
    if (EqualsNoCase(token, "ROOT")) return Fail(line, "a second ROOT is not supported");
    if (!EqualsNoCase(token, "MOTION")) return Fail(line, "expected MOTION, found " + Quote(token));
    if (!Trim(mCursor.RestOfLine()).empty()) return Fail(line, "unexpected text after MOTION");
    return true;
  }

  // Reads the name after ROOT or JOINT, the opening brace and the body up to its closing brace.
  bool ParseJoint(const char* keyword, int line, int depth, Joint* joint) {
    std::string_view name = Trim(mCursor.RestOfLine());
    bool braceTaken = false;
    if (!name.empty() && name.back() == '{') {
      name = Trim(name.substr(0, name.size() - 1));
      braceTaken = true;
    }
    if (name.empty()) return Fail(line, std::string(keyword) + " without a name");
    // A name the writer could not write back (and no other reader would take) is refused here.
    if (name.find('\0') != std::string_view::npos) {
      return Fail(line, std::string(keyword) + " name with a NUL byte");
    }
    // "JOINT a{ {" leaves "a{": written back, its last '{' would be read as the opening brace.
    if (name.back() == '{') return Fail(line, std::string(keyword) + " name ending in '{'");
    joint->mName = std::string(name);
    int braceLine = line;
    if (!braceTaken && !ExpectOpenBrace(std::string(keyword) + " " + joint->mName, &braceLine)) {
      return false;
    }

    bool hasOffset = false;
    bool hasChannels = false;
    std::string_view token;
    for (;;) {
      if (!mCursor.NextToken(&token, &line)) {
        return Fail(mCursor.LastLine(), "unbalanced braces: '{' of joint " + Quote(joint->mName) +
                                            " (line " + std::to_string(braceLine) +
                                            ") is never closed");
      }
      if (token == "}") break;
      if (EqualsNoCase(token, "OFFSET")) {
        if (hasOffset) return Fail(line, "second OFFSET in joint " + Quote(joint->mName));
        if (!ReadOffset(joint->mOffset)) return false;
        hasOffset = true;
      } else if (EqualsNoCase(token, "CHANNELS")) {
        if (hasChannels) return Fail(line, "second CHANNELS in joint " + Quote(joint->mName));
        if (!ReadChannels(line, joint)) return false;
        hasChannels = true;
      } else if (EqualsNoCase(token, "JOINT")) {
        if (depth + 1 > kMaxJointDepth) {
          return Fail(line, "joints nested deeper than " + std::to_string(kMaxJointDepth));
        }
        joint->mChildren.emplace_back();
        if (!ParseJoint("JOINT", line, depth + 1, &joint->mChildren.back())) return false;
      } else if (EqualsNoCase(token, "End") || EqualsNoCase(token, "EndSite")) {
        if (!ParseEndSite(token, line, joint)) return false;
      } else if (EqualsNoCase(token, "MOTION") || EqualsNoCase(token, "ROOT") ||
                 EqualsNoCase(token, "HIERARCHY")) {
        return Fail(line, "unbalanced braces: '{' of joint " + Quote(joint->mName) + " (line " +
                              std::to_string(braceLine) + ") is not closed before " + Quote(token));
      } else if (token == "{") {
        return Fail(line, "unbalanced braces: '{' without a JOINT or End Site");
      } else {
        return Fail(line, "unknown keyword " + Quote(token));
      }
    }
    if (!hasOffset) return Fail(braceLine, "joint " + Quote(joint->mName) + " has no OFFSET");
    return true;
  }

  bool ExpectOpenBrace(const std::string& what, int* braceLine) {
    std::string_view token;
    int line = 0;
    if (!mCursor.NextToken(&token, &line)) {
      return Fail(mCursor.LastLine(), "expected '{' after " + what + ", found the end of the file");
    }
    if (token != "{") return Fail(line, "expected '{' after " + what + ", found " + Quote(token));
    *braceLine = line;
    return true;
  }

  bool ParseEndSite(std::string_view first, int line, Joint* joint) {
    std::string_view token;
    int tokenLine = 0;
    if (!EqualsNoCase(first, "EndSite")) {
      if (!mCursor.NextToken(&token, &tokenLine) || !EqualsNoCase(token, "Site")) {
        return Fail(line, "expected 'End Site'");
      }
    }
    if (joint->mHasEndSite) return Fail(line, "second End Site in joint " + Quote(joint->mName));
    int braceLine = line;
    if (!ExpectOpenBrace("End Site", &braceLine)) return false;
    bool hasOffset = false;
    for (;;) {
      if (!mCursor.NextToken(&token, &tokenLine)) {
        return Fail(mCursor.LastLine(), "unbalanced braces: '{' of the End Site (line " +
                                            std::to_string(braceLine) + ") is never closed");
      }
      if (token == "}") break;
      if (!EqualsNoCase(token, "OFFSET") || hasOffset) {
        return Fail(tokenLine, "unexpected " + Quote(token) + " in an End Site");
      }
      if (!ReadOffset(joint->mEndSite)) return false;
      hasOffset = true;
    }
    if (!hasOffset) return Fail(braceLine, "End Site without OFFSET");
    joint->mHasEndSite = true;
    return true;
  }

  bool ReadOffset(double offset[3]) {
    for (int i = 0; i < 3; ++i) {
      std::string_view token;
      int line = 0;
      if (!mCursor.NextToken(&token, &line)) {
        return Fail(mCursor.LastLine(), "OFFSET needs 3 numbers, found the end of the file");
      }
      if (!ParseDouble(token, &offset[i])) {
        return Fail(line, "OFFSET needs 3 numbers, found " + Quote(token));
      }
    }
    return true;
  }

  bool ReadChannels(int keywordLine, Joint* joint) {
    std::string_view token;
    int line = 0;
    if (!mCursor.NextToken(&token, &line)) return Fail(keywordLine, "CHANNELS without a count");
    int count = -1;
    auto [ptr, ec] = std::from_chars(token.data(), token.data() + token.size(), count);
    if (ec != std::errc() || ptr != token.data() + token.size() || count < 0 || count > 6) {
      return Fail(line, "CHANNELS count must be 0 to 6, found " + Quote(token));
    }
    for (int i = 0; i < count; ++i) {
      bool more = mCursor.PeekToken(&token, &line);
      int code = more ? ChannelCode(token) : -1;
      if (code < 0) {
        if (more && line == keywordLine && !IsKeyword(token)) {
          return Fail(line, "unknown channel name " + Quote(token));
        }
        return Fail(keywordLine, "channel count mismatch: CHANNELS declares " +
                                     std::to_string(count) + " but lists " + std::to_string(i));
      }
      for (int previous : joint->mChannels) {
        if (previous == code) return Fail(line, "channel " + Quote(token) + " listed twice");
      }
      mCursor.NextToken(&token, &line);
      joint->mChannels.push_back(code);
    }
    if (mCursor.PeekToken(&token, &line) && ChannelCode(token) >= 0) {
      return Fail(keywordLine, "channel count mismatch: CHANNELS declares " +
                                   std::to_string(count) + " but lists more");
    }
    return true;
  }

  // Reads the next line that holds more than blanks. False at the end of the text.
  bool NextNonBlankLine(std::string_view* text, int* line) {
    while (mCursor.NextLine(text, line)) {
      *text = Trim(*text);
      if (!text->empty()) return true;
    }
    return false;
  }

  // Reads "<label>: <value>" where the label compares case-insensitively, blanks collapsed.
  bool ReadLabelled(const char* label, std::string_view* value, int* line) {
    std::string_view text;
    if (!NextNonBlankLine(&text, line)) {
      *line = mCursor.LastLine();
      return Fail(*line, std::string("missing '") + label + ":' line");
    }
    size_t colon = text.find(':');
    std::string found;
    if (colon != std::string_view::npos) {
      for (char c : Trim(text.substr(0, colon))) {
        if (IsBlank(c)) {
          if (!found.empty() && found.back() != ' ') found += ' ';
        } else {
          found += c;
        }
      }
    }
    if (colon == std::string_view::npos || !EqualsNoCase(found, label)) {
      return Fail(*line, std::string("expected '") + label + ":', found " + Quote(text));
    }
    *value = Trim(text.substr(colon + 1));
    return true;
  }

  bool ParseMotion(Clip* clip) {
    clip->mChannelCount = CountChannels(clip->mRoot);

    std::string_view value;
    int line = 0;
    if (!ReadLabelled("Frames", &value, &line)) return false;
    long long frames = -1;
    auto [ptr, ec] = std::from_chars(value.data(), value.data() + value.size(), frames);
    if (ec == std::errc::result_out_of_range ||
        (ec == std::errc() && ptr == value.data() + value.size() &&
         frames > std::numeric_limits<int>::max())) {
      return Fail(line, "frame count " + Quote(value) + " is too large");
    }
    if (ec != std::errc() || ptr != value.data() + value.size() || frames < 0) {
      return Fail(line, "Frames: needs a whole number, found " + Quote(value));
    }
    clip->mFrameCount = static_cast<int>(frames);
    const int framesLine = line;

    if (!ReadLabelled("Frame Time", &value, &line)) return false;
    if (!ParseDouble(value, &clip->mFrameTime)) {
      return Fail(line, "Frame Time: needs a number, found " + Quote(value));
    }
    if (!(clip->mFrameTime > 0)) return Fail(line, "Frame Time: must be positive");

    const size_t channels = static_cast<size_t>(clip->mChannelCount);
    // Without channels a frame is an empty line, which the text cannot show: any count would be
    // taken on trust, and a few bytes could claim billions of frames.
    if (channels == 0 && clip->mFrameCount > 0) {
      return Fail(framesLine, "Frames: says " + std::to_string(clip->mFrameCount) +
                                  " but the skeleton has no channels");
    }
    if (channels == 0) return true;
    // Trust the declared count only as far as the text can hold it: a value takes at least two
    // characters, so a lying "Frames:" cannot make us allocate more than the text's size.
    size_t declared = static_cast<size_t>(clip->mFrameCount) * channels;
    clip->mValues.reserve(std::min(declared, mTextSize / 2));

    for (int frame = 0; frame < clip->mFrameCount; ++frame) {
      std::string_view text;
      if (!NextNonBlankLine(&text, &line)) {
        return Fail(mCursor.LastLine(), "Frames: says " + std::to_string(clip->mFrameCount) +
                                            " but the file has only " + std::to_string(frame) +
                                            " data lines");
      }
      size_t count = 0;
      size_t pos = 0;
      while (pos < text.size()) {
        while (pos < text.size() && IsBlank(text[pos])) ++pos;
        if (pos >= text.size()) break;
        size_t start = pos;
        while (pos < text.size() && !IsBlank(text[pos])) ++pos;
        std::string_view token = text.substr(start, pos - start);
        float number = 0;
        if (!ParseFloat(token, &number)) {
          return Fail(line,
                      "value " + std::to_string(count + 1) + " is not a number: " + Quote(token));
        }
        if (++count > channels) break;
        clip->mValues.push_back(number);
      }
      if (count != channels) {
        std::string found = count > channels ? "more" : std::to_string(count);
        return Fail(line,
                    "data line has " + found + " values, expected " + std::to_string(channels));
      }
    }
    return true;
  }

  Cursor mCursor;
  const std::string& mSource;
  size_t mTextSize;
  std::string mError;
};

}  // namespace

bool ParseBvhText(const std::string& text, const std::string& sourceName, Clip* clip,
                  std::string* error) {
  Parser parser(text, sourceName);
  return parser.Parse(clip, error);
}

bool ParseBvhFile(const std::string& path, Clip* clip, std::string* error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    if (error != nullptr) *error = path + ": cannot open: " + std::strerror(errno);
    return false;
  }
  std::ostringstream content;
  content << in.rdbuf();
  if (in.bad()) {
    if (error != nullptr) *error = path + ": read error";
    return false;
  }
  return ParseBvhText(content.str(), path, clip, error);
}

}  // namespace bvh
