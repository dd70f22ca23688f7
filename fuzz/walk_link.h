// The link the link targets feed: made once and given the walk's header, then kept from input to
// input, since making and destroying a link (its receive buffers, the header's parse and joint
// tables) cost more than most inputs. An input that leaves more than a pose behind (another
// header, an actor list) has the link made anew before the next input, so every input starts from
// the same state; what an input cannot undo is the trace throttle's memory of what it traced
// (a later input's trace may be held back instead of traced). The last link is left to the
// process's end, still reachable, since its destructor would run after the host's own statics.
// One thread only.
#ifndef KMQ_FUZZ_WALK_LINK_H_
#define KMQ_FUZZ_WALK_LINK_H_

#include <string>

#include "fuzz_support.h"
#include "server_link.h"
#include "wire_format.h"

namespace kmqfuzz {

class WalkLink {
 public:
  // The link, online, with the walk's header accepted for kActorTag.
  ServerLink& Get() {
    if (mLink == nullptr) {
      mLink = new ServerLink();
      mLink->mActorTag = kActorTag;
      mLink->mOnline = true;
      const std::string& header = WalkHeaderPayload();
      mLink->DispatchMessage(reinterpret_cast<const unsigned char*>(header.data()),
                             static_cast<int>(header.size()), kovrim::wire::kPlainMarker);
      mHeader = mLink->Header().get();
      mActors = mLink->Actors().get();
    }
    return *mLink;
  }

  // After an input: makes the link anew if the input changed its header or actor list. At once,
  // so that the input frees about as many blocks as it takes and libFuzzer sees no leak to look
  // for.
  void AfterInput() {
    if (mLink != nullptr &&
        (mLink->Header().get() != mHeader || mLink->Actors().get() != mActors)) {
      delete mLink;
      mLink = nullptr;
      Get();
    }
  }

 private:
  ServerLink* mLink = nullptr;
  const void* mHeader = nullptr;
  const void* mActors = nullptr;
};

}  // namespace kmqfuzz

#endif  // KMQ_FUZZ_WALK_LINK_H_
