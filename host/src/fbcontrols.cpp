#include <fbcontrols/fbcontrols.h>

#include <cstdio>
#include <functional>
#include <mutex>

#include "host_state.h"

namespace FBSDKNamespace {
namespace {

// What the stand-in does when no test scripted an answer: show the box on the console and
// press the first button, so unattended tools never stall on a dialog.
int ConsoleAnswer(const fbsdk_internal::BoxRecord& pBox) {
  std::fprintf(stderr, "[message box] %s\n%s\n", pBox.mTitle.c_str(), pBox.mMessage.c_str());
  for (size_t i = 0; i < pBox.mButtons.size(); ++i) {
    std::fprintf(stderr, "  [%zu] %s\n", i + 1, pBox.mButtons[i].c_str());
  }
  std::fprintf(stderr, "[message box] answered 1\n");
  std::fflush(stderr);
  return 1;
}

}  // namespace

int FBMessageBox(const char* pBoxTitle, const char* pMessage, const char* pButton1Str,
                 const char* pButton2Str, const char* pButton3Str, int pDefaultButton,
                 int pScrolledMessage) {
  fbsdk_internal::BoxRecord box;
  box.mTitle = pBoxTitle ? pBoxTitle : "";
  box.mMessage = pMessage ? pMessage : "";
  for (const char* button : {pButton1Str, pButton2Str, pButton3Str}) {
    if (button != nullptr) box.mButtons.push_back(button);
  }
  box.mDefaultButton = pDefaultButton;
  box.mScrolled = pScrolledMessage;

  fbsdk_internal::HostState& state = fbsdk_internal::State();
  bool answered = false;
  std::function<int(const fbsdk_internal::BoxRecord&)> handler;
  {
    kovrim::MutexLock lock(&state.mMutex);
    if (!state.mQueuedAnswers.empty()) {
      box.mAnswer = state.mQueuedAnswers.front();
      state.mQueuedAnswers.pop_front();
      answered = true;
    } else {
      handler = state.mBoxHandler;
    }
  }
  // The handler may block on a person; it runs without the host lock.
  if (!answered) box.mAnswer = handler ? handler(box) : ConsoleAnswer(box);

  kovrim::MutexLock lock(&state.mMutex);
  state.mBoxes.push_back(box);
  return box.mAnswer;
}

}  // namespace FBSDKNamespace
