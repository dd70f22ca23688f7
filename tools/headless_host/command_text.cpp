#include "command_text.h"

#include <algorithm>
#include <cctype>
#include <fstream>

namespace kmq {
namespace command_text {

std::string Trim(const std::string& text) {
  const size_t first = text.find_first_not_of(" \t\r\n");
  if (first == std::string::npos) return "";
  const size_t last = text.find_last_not_of(" \t\r\n");
  return text.substr(first, last - first + 1);
}

std::vector<std::string> Split(const std::string& text) {
  std::vector<std::string> words;
  size_t at = 0;
  while (true) {
    const size_t first = text.find_first_not_of(" \t", at);
    if (first == std::string::npos) break;
    const size_t end = text.find_first_of(" \t", first);
    words.push_back(text.substr(first, end == std::string::npos ? std::string::npos : end - first));
    if (end == std::string::npos) break;
    at = end;
  }
  return words;
}

std::string OneLine(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else {
      out += c;
    }
  }
  return out;
}

std::string Quote(const std::string& text) { return "\"" + OneLine(text) + "\""; }

bool ParseSeconds(const std::string& text, double* out) {
  double value = 0;
  if (!ReadNumber(text, &value) || !(value > 0) || value > kMaxCommandSeconds) return false;
  *out = value;
  return true;
}

bool AllDigits(const std::string& text) {
  return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) {
    return std::isdigit(static_cast<unsigned char>(c)) != 0;
  });
}

std::string Unquote(const std::string& text) {
  if (text.size() >= 2 && text.front() == '"' && text.back() == '"') {
    return text.substr(1, text.size() - 2);
  }
  return text;
}

bool FileExists(const std::string& path) {
  std::ifstream file(path);
  return static_cast<bool>(file);
}

CommandAnswer Ok(const std::string& text) { return {true, "ok " + OneLine(text)}; }
CommandAnswer Error(const std::string& text) { return {false, "error " + OneLine(text)}; }

}  // namespace command_text
}  // namespace kmq
