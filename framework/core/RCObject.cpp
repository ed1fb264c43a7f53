#include "framework/core/RCObject.h"

#include <cxxabi.h>

#include <cstdlib>
#include <memory>
#include <mutex>
#include <typeinfo>
#include <unordered_map>

namespace core {

namespace {

struct ClassRegistry {
    std::mutex mutex;
    std::unordered_map<std::string, Object::Creator> creators;
};

ClassRegistry& registry() {
    static ClassRegistry* r = new ClassRegistry;  // outlives every static destructor
    return *r;
}

}  // namespace

std::string demangle(const char* mangled) {
    int status = 0;
    std::unique_ptr<char, void (*)(void*)> name(
        abi::__cxa_demangle(mangled, nullptr, nullptr, &status), std::free);
    return status == 0 && name ? std::string(name.get()) : std::string(mangled);
}

Object::~Object() = default;

Object* Object::copy() const {
    return nullptr;
}

std::string Object::getClassName() const {
    return demangle(typeid(*this).name());
}

bool Object::registerClass(const std::string& name, Creator creator) {
    if (name.empty() || creator == nullptr)
        return false;
    auto& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    return r.creators.emplace(name, creator).second;
}

bool Object::unRegisterClass(const std::string& name) {
    auto& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    return r.creators.erase(name) != 0;
}

bool Object::isClassRegistered(const std::string& name) {
    auto& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    return r.creators.count(name) != 0;
}

Object* Object::createObject(const std::string& name) {
    Creator creator = nullptr;
    {
        auto& r = registry();
        std::lock_guard<std::mutex> lock(r.mutex);
        auto it = r.creators.find(name);
        if (it != r.creators.end())
            creator = it->second;
    }
    return creator ? creator() : nullptr;
}

}  // namespace core
