// <winuser.h> defines DispatchMessage as a macro. Translation units that include the Windows
// headers before or after the link's own must still name one and the same
// ServerLink::DispatchMessage, the one server_link.cpp defines: this program does not link
// otherwise, and both calls must reach the same parser.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "link_test_util.h"
#include "server_link.h"

void DispatchWithWindowsHeadersLast(ServerLink& link, const std::string& bytes);

namespace {

TEST(WindowsIncludeOrderTest, BothOrdersReachTheLinksOwnDispatch) {
  const std::string first = linktest::ActorListMessage({{7, "Walker"}}).SerializePartialAsString();
  const std::string second =
      linktest::ActorListMessage({{7, "Walker"}, {9, "Runner"}}).SerializePartialAsString();

  ServerLink link;
  link.DispatchMessage(reinterpret_cast<const unsigned char*>(first.data()),
                       static_cast<int>(first.size()), kovrim::wire::kPlainMarker);
  EXPECT_EQ(link.CopyActors().size(), 1u);
  DispatchWithWindowsHeadersLast(link, second);
  EXPECT_EQ(link.CopyActors().size(), 2u);
}

}  // namespace
