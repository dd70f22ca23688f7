// What the plug-in shows people: the names it registers under, its panel's captions, the boxes
// it opens, the device's status texts and its connection trace. The plug-in takes them from here,
// and so do the tools that work its panel or look for its boxes, so that the two never drift apart.
// Constants only: any thread may use them.
#ifndef KOVRIM_TEXTS_H_
#define KOVRIM_TEXTS_H_

// The entry names under which the device registers; the panel registers under the unique one.
// Macros, because the host's registration macros take literals.
#define KOVRIM_DEVICE_LABEL "Motion quorve (2.0.0.116)"
#define KOVRIM_DEVICE_UNIQUE_NAME "Kovrim BELVANTRIX Motion Quorve"
#define KOVRIM_DEVICE_DESCRIPTION "Kovrim Motion quorve (2.0.0.116)"
#define KOVRIM_DEVICE_ICON "openreality_noicon.png"

namespace kovrim_texts {

// Captions of the panel's controls.
constexpr char kRequestHeaderCaption[] = "Request Bvh Header";
constexpr char kRebuildSkeletonCaption[] = "Rebuild Skeleton Template";
constexpr char kCharacterizeCaption[] = "Characterize";
constexpr char kTPoseCaption[] = "Stay In T-Pose";
constexpr char kTcpCaption[] = "TCP Settings";
constexpr char kAddressCaption[] = "Address :";
constexpr char kPortCaption[] = "Port :";
constexpr char kSourceCaption[] = "Source:";
// Names of the panel's regions that hold the controls a user works: the address and port edits
// and the actor list.
constexpr char kAddressRegion[] = "Address";
constexpr char kPortRegion[] = "Port";
constexpr char kActorListRegion[] = "RolesName";

// Titles and texts of the boxes.
constexpr char kInfoTitle[] = "Info";
constexpr char kWarningTitle[] = "Warning";
constexpr char kOkButton[] = "OK";
constexpr char kYesButton[] = "Yes";
constexpr char kNoButton[] = "No";
constexpr char kConnectFailureText[] = "Can not connect to this address.";
constexpr char kNotOnlineText[] = "Please ensure you are online.";
constexpr char kHeaderDoneText[] = "Request BVH header done.";
constexpr char kSkeletonRebuiltText[] =
    "Skeleton template has been rebuilt, \nplease select or create a new skeleton in 'Model "
    "binding' control.";
constexpr char kNoModelText[] = "No selected model!";
constexpr char kCharacterizedAlreadyText[] =
    "This model may have been characterized according it's name, continue anyway?";

// The device's Status property: where its connection stands.
constexpr char kStatusOffline[] = "Offline";
constexpr char kStatusConnecting[] = "Connecting";
constexpr char kStatusOnline[] = "Online";
constexpr char kStatusReconnecting[] = "Reconnecting";
// The device's Information property, composed from these (N whole seconds): "<actor>, N fps",
// "no frames from <actor> for N s", "waiting for the actor list", "waiting for the skeleton of
// <actor>", "connecting to <address>:<port>", "connection lost, retrying in N s", "server
// unreachable, retrying in N s"; empty while offline.
constexpr char kInfoFps[] = " fps";
constexpr char kInfoNoFramesFrom[] = "no frames from ";
constexpr char kInfoWaitingForActors[] = "waiting for the actor list";
constexpr char kInfoWaitingForSkeleton[] = "waiting for the skeleton of ";
constexpr char kInfoConnectingTo[] = "connecting to ";
constexpr char kInfoConnectionLost[] = "connection lost";
constexpr char kInfoServerUnreachable[] = "server unreachable";
constexpr char kInfoRetryingIn[] = ", retrying in ";

// Traced when the server closes or resets the connection.
constexpr char kConnectionLostTrace[] = "Connection to the server lost.";

}  // namespace kovrim_texts

#endif  // KOVRIM_TEXTS_H_
