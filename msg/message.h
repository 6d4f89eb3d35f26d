// Operator messages to the suite's message pool. The sender fields below
// are fixed for every message the controller posts.
#pragma once

#include <string>

namespace kvs {

inline constexpr char kMsgMod[] = "main";
inline constexpr char kMsgSrc[] = "KVSJOBSTR";
inline constexpr char kMsgSch[] = "KVSYSTEM";
inline constexpr char kMsgCat[] = "WARNHINWEISE";
inline constexpr char kMsgAdr[] = "GEN";
inline constexpr char kMsgBer[] = "QUELBAR";
inline constexpr char kMsgMnd[] = "99999";
inline constexpr char kMsgLiz[] = "99999";
inline constexpr char kMsgErf[] = "SYSTEM";

// Posting never fails towards the caller. Until the pool delivery is built,
// a post reaches nobody.
class MessagePool {
 public:
  void Post(const std::string& text);
};

}  // namespace kvs
