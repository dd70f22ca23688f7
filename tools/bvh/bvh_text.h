// Text rules the BVH reader and writer share: what counts as blank, a line end and a space, and
// how a token is quoted in an error line. Internal to the bvh library; pure functions.
#ifndef KMQ_TOOLS_BVH_BVH_TEXT_H_
#define KMQ_TOOLS_BVH_BVH_TEXT_H_

#include <string>
#include <string_view>

namespace bvh {
namespace text {

inline bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\f' || c == '\v'; }
inline bool IsLineEnd(char c) { return c == '\r' || c == '\n'; }
inline bool IsSpace(char c) { return IsBlank(c) || IsLineEnd(c); }

// token in single quotes, cut after 40 characters, control bytes shown as '?': tokens come from
// untrusted files, and error lines stay short and printable.
std::string Quote(std::string_view token);

}  // namespace text
}  // namespace bvh

#endif  // KMQ_TOOLS_BVH_BVH_TEXT_H_
