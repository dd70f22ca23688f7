// The link's header first, the Windows headers after it: the other include order of
// windows_include_order_test.cpp.
#include "server_link.h"

#include <windows.h>

#include <string>

// Feeds one payload to the link from a translation unit that saw the Windows headers last.
void DispatchWithWindowsHeadersLast(ServerLink& link, const std::string& bytes) {
  link.DispatchMessage(reinterpret_cast<const unsigned char*>(bytes.data()),
                       static_cast<int>(bytes.size()), kovrim::wire::kPlainMarker);
}
