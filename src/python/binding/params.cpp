#include "binding/params.hpp"

#include <string>
#include <vector>

namespace quorin::py {

namespace {

std::string positional_count_error(const char* operation, std::size_t n, std::size_t required,
                                   std::size_t given) {
    std::string text = operation;
    if (required == n) {
        text += " takes " + std::to_string(n);
    } else {
        text += " takes from " + std::to_string(required) + " to " + std::to_string(n);
    }
    text += " positional arguments but " + std::to_string(given) + (given == 1 ? " was" : " were") +
            " given";
    return text;
}

// 'a'; 'a' and 'b'; 'a', 'b', and 'c'.
std::string quoted_list(const std::vector<const char*>& names) {
    std::string text;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) {
            if (names.size() > 2) text += ",";
            text += (i + 1 == names.size()) ? " and " : " ";
        }
        text += "'";
        text += names[i];
        text += "'";
    }
    return text;
}

}  // namespace

namespace detail {

void bind_slots(const char* operation, const char* const* names, std::size_t n,
                std::size_t required, PyObject* args, PyObject* kwargs, PyObject** slots) {
    const std::size_t given = args == nullptr ? 0 : static_cast<std::size_t>(PyTuple_Size(args));
    if (given > n) type_error(positional_count_error(operation, n, required, given));
    for (std::size_t i = 0; i < given; ++i) slots[i] = PyTuple_GetItem(args, static_cast<Py_ssize_t>(i));

    if (kwargs != nullptr) {
        Py_ssize_t pos = 0;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            std::size_t match = n;
            if (PyUnicode_Check(key)) {
                for (std::size_t i = 0; i < n; ++i) {
                    if (PyUnicode_CompareWithASCIIString(key, names[i]) == 0) {
                        match = i;
                        break;
                    }
                }
            }
            if (match == n) {
                type_error(std::string(operation) + " got an unexpected keyword argument '" +
                           str_of(key) + "'");
            }
            if (slots[match] != nullptr) {
                type_error(std::string(operation) + " got multiple values for argument '" +
                           names[match] + "'");
            }
            slots[match] = value;
        }
    }

    if (given < required) {
        std::vector<const char*> missing;
        for (std::size_t i = given; i < required; ++i) {
            if (slots[i] == nullptr) missing.push_back(names[i]);
        }
        if (!missing.empty()) {
            type_error(std::string(operation) + " missing " + std::to_string(missing.size()) +
                       " required positional " + (missing.size() == 1 ? "argument" : "arguments") +
                       ": " + quoted_list(missing));
        }
    }
}

}  // namespace detail

}  // namespace quorin::py
