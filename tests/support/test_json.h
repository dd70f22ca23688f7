// A tiny JSON reader for the tests that check the stream health summary: parses a whole document
// into a Json tree (objects, arrays, strings, numbers, booleans, null). Enough to read the
// summaries back, not a general parser.
#ifndef KOVRIM_TESTS_SUPPORT_TEST_JSON_H_
#define KOVRIM_TESTS_SUPPORT_TEST_JSON_H_

#include <cctype>
#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace jsontest {

struct Json {
  enum class Kind { kNull, kBool, kNumber, kString, kArray, kObject } mKind = Kind::kNull;
  bool mBool = false;
  double mNumber = 0;
  std::string mString;
  std::vector<Json> mArray;
  std::map<std::string, Json> mObject;

  const Json& operator[](const std::string& key) const {
    static const Json kMissing;
    auto found = mObject.find(key);
    return found == mObject.end() ? kMissing : found->second;
  }
};

class JsonReader {
 public:
  explicit JsonReader(const std::string& text) : mText(text) {}
  bool ReadDocument(Json* value) {
    if (!Read(value)) return false;
    Space();
    return mAt == mText.size();
  }

 private:
  void Space() {
    while (mAt < mText.size() && std::isspace(static_cast<unsigned char>(mText[mAt]))) ++mAt;
  }
  bool Literal(const char* word) {
    const size_t length = std::strlen(word);
    if (mText.compare(mAt, length, word) != 0) return false;
    mAt += length;
    return true;
  }
  bool ReadString(std::string* out) {
    if (mAt >= mText.size() || mText[mAt] != '"') return false;
    ++mAt;
    while (mAt < mText.size() && mText[mAt] != '"') {
      if (mText[mAt] == '\\') {
        if (++mAt >= mText.size()) return false;
        if (mText[mAt] == 'u') {
          if (mAt + 4 >= mText.size()) return false;
          *out += static_cast<char>(std::stoi(mText.substr(mAt + 1, 4), nullptr, 16));
          mAt += 5;
          continue;
        }
      }
      *out += mText[mAt++];
    }
    if (mAt >= mText.size()) return false;
    ++mAt;
    return true;
  }
  bool ReadItems(Json* value, char close) {
    ++mAt;
    Space();
    if (mAt < mText.size() && mText[mAt] == close) return ++mAt, true;
    for (;;) {
      Json* item = nullptr;
      if (close == '}') {
        Space();
        std::string key;
        if (!ReadString(&key)) return false;
        Space();
        if (mAt >= mText.size() || mText[mAt++] != ':') return false;
        item = &value->mObject[key];
      } else {
        value->mArray.emplace_back();
        item = &value->mArray.back();
      }
      if (!Read(item)) return false;
      Space();
      if (mAt >= mText.size()) return false;
      if (mText[mAt] != ',') return mText[mAt++] == close;
      ++mAt;
    }
  }
  bool Read(Json* value) {
    Space();
    if (mAt >= mText.size()) return false;
    const char c = mText[mAt];
    if (c == '{') {
      value->mKind = Json::Kind::kObject;
      return ReadItems(value, '}');
    }
    if (c == '[') {
      value->mKind = Json::Kind::kArray;
      return ReadItems(value, ']');
    }
    if (c == '"') {
      value->mKind = Json::Kind::kString;
      return ReadString(&value->mString);
    }
    if (Literal("true")) {
      value->mKind = Json::Kind::kBool;
      value->mBool = true;
      return true;
    }
    if (Literal("false")) {
      value->mKind = Json::Kind::kBool;
      return true;
    }
    if (Literal("null")) return true;
    size_t used = 0;
    value->mKind = Json::Kind::kNumber;
    value->mNumber = std::stod(mText.substr(mAt), &used);
    mAt += used;
    return used > 0;
  }

  const std::string& mText;
  size_t mAt = 0;
};

}  // namespace jsontest

#endif  // KOVRIM_TESTS_SUPPORT_TEST_JSON_H_
