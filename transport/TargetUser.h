// What the multiplexer client needs of an equipment: somewhere to hand the phone's target
// when it comes or goes. An interface without a base of its own: the equipment that
// implements it is already a counted framework object, and the multiplexer finds it by a
// checked cast of that object.
#pragma once

#include "framework/core/RCObject.h"

namespace vela {

class Target;

class TargetUser {
  public:
    // Any thread; posted to the equipment's own worker. None when the phone went away.
    virtual void setTarget(const core::RCPtr<Target>& target) = 0;

  protected:
    ~TargetUser() = default;
};

}  // namespace vela
