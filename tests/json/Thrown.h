// The message of the std::runtime_error (that very type) a call throws, else a marker.
#pragma once

#include <functional>
#include <stdexcept>
#include <string>
#include <typeinfo>

inline std::string Thrown(const std::function<void()>& call) {
    try {
        call();
    } catch (const std::runtime_error& e) {
        return typeid(e) == typeid(std::runtime_error) ? e.what() : "<derived runtime_error>";
    } catch (...) {
        return "<other exception>";
    }
    return "<no exception>";
}
