// Callbacks bound to an object and one of its member functions.
#pragma once

#include <functional>
#include <utility>

namespace core {

// An object pointer and a member function of it, called with Args and returning R.
// isValid tells whether both are set.
template <class R, class... Args>
class MemberCallBack {
  public:
    MemberCallBack() = default;
    template <class T>
    MemberCallBack(T* object, R (T::*member)(Args...))
        : m_object(object),
          m_fn(object && member ? Fn([object, member](Args... args) -> R {
              return (object->*member)(std::forward<Args>(args)...);
          })
                                : Fn()) {}
    // A callback bound to any callable; the object pointer identifies its owner.
    MemberCallBack(void* owner, std::function<R(Args...)> fn)
        : m_object(owner), m_fn(std::move(fn)) {}

    bool isValid() const { return m_object != nullptr && static_cast<bool>(m_fn); }
    const void* getObject() const { return m_object; }
    R operator()(Args... args) const { return m_fn(std::forward<Args>(args)...); }
    void clear() {
        m_object = nullptr;
        m_fn = nullptr;
    }

  private:
    using Fn = std::function<R(Args...)>;
    void* m_object = nullptr;
    Fn m_fn;
};

template <class... Args>
using BoolCallBackT = MemberCallBack<bool, Args...>;
// A callback that takes nothing and answers true or false (worker begin and end).
using BoolCallBack = BoolCallBackT<>;
// A callback that takes nothing and returns nothing (sync objects, pipes).
using CallBack = MemberCallBack<void>;

}  // namespace core
