// Objects, reference counting, counted pointers and counted maps.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <type_traits>
#include <utility>

struct IUnknown;

namespace core {

// Root of every framework class. Carries the run-time class name and the process-wide
// registry of creators by class name.
class Object {
  public:
    using Creator = Object* (*)();

    Object() = default;
    Object(const Object&) = default;
    Object& operator=(const Object&) = default;
    virtual ~Object();

    // A new object equal to this one, or nullptr for a class that cannot be copied.
    virtual Object* copy() const;

    // The run-time type name, namespaces included ("vela::TVP").
    std::string getClassName() const;

    // Registers a creator under a class name. False if the name is taken (the first stays).
    static bool registerClass(const std::string& name, Creator creator);
    static bool unRegisterClass(const std::string& name);
    static bool isClassRegistered(const std::string& name);
    // A new object of the named class, or nullptr when no creator is registered.
    static Object* createObject(const std::string& name);
};

// Demangled name of a type_info.
std::string demangle(const char* mangled);

// An object with an intrusive, atomic reference count. onFinalRelease runs when the count
// drops to zero; by default it deletes the object.
//
// A reference is taken only from another reference (copying a counted pointer), so the holder
// of the only one knows that nobody else can take one: its release ends the object with a plain
// store, not a locked update. The exception is tryAddref, which takes a reference from a plain
// pointer; a class that uses it says so (allowTryAddref), and its last release is always a
// locked update that sees such a reference.
class RCObject : public Object {
  public:
    RCObject() = default;
    RCObject(const RCObject& other) : Object(other), m_tryAddrefAllowed(other.m_tryAddrefAllowed) {}
    RCObject& operator=(const RCObject&) { return *this; }

    long addref() const { return m_refs.fetch_add(1, std::memory_order_relaxed) + 1; }
    long release() const {
        // The acquire load orders the end after every other holder's release.
        if (!m_tryAddrefAllowed && m_refs.load(std::memory_order_acquire) == 1) {
            m_refs.store(0, std::memory_order_relaxed);
            const_cast<RCObject*>(this)->onFinalRelease();
            return 0;
        }
        const long left = m_refs.fetch_sub(1, std::memory_order_acq_rel) - 1;
        if (left == 0)
            const_cast<RCObject*>(this)->onFinalRelease();
        return left;
    }
    // The first reference to an object just made, which no other thread can reach yet: a
    // plain store, not a locked update (RCPtr::adoptNew).
    void addFirstRef() const { m_refs.store(1, std::memory_order_relaxed); }
    long getRefCount() const { return m_refs.load(std::memory_order_relaxed); }
    // True when the caller's reference is the only one. Ordered after every other holder's
    // release, so that the caller may then change what the others used to read.
    bool isUniquelyHeld() const { return m_refs.load(std::memory_order_acquire) == 1; }
    // Takes a reference only while the object is alive (count above zero). False once its
    // final release has begun: code that reaches an object by a plain pointer (a process-wide
    // instance, a worker's own handlers) must not revive it while it is being destroyed.
    // Only for a class that called allowTryAddref.
    bool tryAddref() const {
        std::int32_t n = m_refs.load(std::memory_order_relaxed);
        while (n > 0)
            if (m_refs.compare_exchange_weak(n, n + 1, std::memory_order_relaxed))
                return true;
        return false;
    }

  protected:
    ~RCObject() override = default;
    virtual void onFinalRelease() { delete this; }
    // Called by the constructor of a class whose objects are taken with tryAddref.
    void allowTryAddref() { m_tryAddrefAllowed = true; }

  private:
    // Beside the flag, in the room a 64-bit count would take: the object stays two words.
    mutable std::atomic<std::int32_t> m_refs{0};
    bool m_tryAddrefAllowed = false;
};

// Counted pointer to an RCObject (or anything with addref/release).
template <class T>
class RCPtr {
  public:
    using element_type = T;

    RCPtr() noexcept = default;
    RCPtr(std::nullptr_t) noexcept {}
    RCPtr(T* p) : m_p(p) {
        if (m_p)
            m_p->addref();
    }
    RCPtr(const RCPtr& o) : RCPtr(o.m_p) {}
    RCPtr(RCPtr&& o) noexcept : m_p(o.m_p) { o.m_p = nullptr; }
    // The first counted pointer to an object just made (see RCObject::addFirstRef).
    static RCPtr adoptNew(T* p) noexcept {
        RCPtr made;
        if (p)
            p->addFirstRef();
        made.m_p = p;
        return made;
    }
    template <class U, class = std::enable_if_t<std::is_convertible_v<U*, T*>>>
    RCPtr(const RCPtr<U>& o) : RCPtr(o.get()) {}
    template <class U, class = std::enable_if_t<std::is_convertible_v<U*, T*>>>
    RCPtr(RCPtr<U>&& o) noexcept : m_p(o.detach()) {}
    ~RCPtr() {
        if (m_p)
            m_p->release();
    }

    RCPtr& operator=(const RCPtr& o) {
        reset(o.m_p);
        return *this;
    }
    RCPtr& operator=(RCPtr&& o) noexcept {
        if (this != &o) {
            T* old = m_p;
            m_p = o.m_p;
            o.m_p = nullptr;
            if (old)
                old->release();
        }
        return *this;
    }
    RCPtr& operator=(T* p) {
        reset(p);
        return *this;
    }

    void reset(T* p = nullptr) {
        if (p)
            p->addref();
        T* old = m_p;
        m_p = p;
        if (old)
            old->release();
    }
    // Points at p without taking a reference (the counterpart of detach): for an object
    // whose count does not decide its life, such as a member object that its owner detaches
    // again before it goes. Saves the atomic update of taking one.
    void attach(T* p) noexcept {
        T* old = m_p;
        m_p = p;
        if (old)
            old->release();
    }
    // Gives up the reference without releasing it.
    T* detach() noexcept {
        T* p = m_p;
        m_p = nullptr;
        return p;
    }

    T* get() const noexcept { return m_p; }
    T* operator->() const noexcept { return m_p; }
    T& operator*() const noexcept { return *m_p; }
    explicit operator bool() const noexcept { return m_p != nullptr; }
    bool isNull() const noexcept { return m_p == nullptr; }

    // Checked down-cast: empty when the object is not a U.
    template <class U>
    RCPtr<U> dynamicCast() const {
        return RCPtr<U>(dynamic_cast<U*>(m_p));
    }

  private:
    T* m_p = nullptr;
};

template <class T, class U>
bool operator==(const RCPtr<T>& a, const RCPtr<U>& b) {
    return a.get() == b.get();
}
template <class T>
bool operator==(const RCPtr<T>& a, std::nullptr_t) {
    return a.get() == nullptr;
}

// Checked down-cast of a counted or plain pointer: empty when the object is not a U.
template <class U, class T>
RCPtr<U> rcCast(const RCPtr<T>& p) {
    return RCPtr<U>(dynamic_cast<U*>(p.get()));
}
template <class U, class T>
RCPtr<U> rcCast(T* p) {
    return RCPtr<U>(dynamic_cast<U*>(p));
}

// A counted, ordered map. insert never replaces an entry that has the same key.
template <class K, class V, class Compare = std::less<K>>
class RCMap : public RCObject {
  public:
    using map_type = std::map<K, V, Compare>;
    using iterator = typename map_type::iterator;
    using const_iterator = typename map_type::const_iterator;

    bool insert(const K& key, const V& value) { return m_map.emplace(key, value).second; }
    V* find(const K& key) {
        auto it = m_map.find(key);
        return it == m_map.end() ? nullptr : &it->second;
    }
    bool contains(const K& key) const { return m_map.count(key) != 0; }
    bool erase(const K& key) { return m_map.erase(key) != 0; }
    void clear() { m_map.clear(); }
    std::size_t size() const { return m_map.size(); }
    bool empty() const { return m_map.empty(); }
    iterator begin() { return m_map.begin(); }
    iterator end() { return m_map.end(); }
    const_iterator begin() const { return m_map.begin(); }
    const_iterator end() const { return m_map.end(); }

  private:
    map_type m_map;
};

// Base of the COM creators registered by class name: create makes the COM object and hands
// out its IUnknown with one reference.
class CreatorClass : public Object {
  public:
    virtual bool create(IUnknown** out) = 0;
};

}  // namespace core
