// The entries of a plain dict in the order a Value's object keeps its
// members: ascending by the UTF-8 of their keys, read in place, without
// building the keys.
#pragma once

#include <Python.h>

#include <algorithm>
#include <cstddef>
#include <string_view>
#include <vector>

#include "ostik/value.hpp"
#include "str_utf8.hpp"

namespace ostik::py {

class SortedDictEntries {
public:
    // Trivial, so that the entries on the stack cost nothing until used.
    struct Entry {
        const char* key;
        std::size_t size;
        PyObject* value;  // borrowed from the dict
        std::string_view text() const { return {key, size}; }
    };

    // Reads the entries of `dict` (a dict), in key order. False, with no
    // exception left set, when a key is not a plain str or has no UTF-8
    // form.
    bool read(PyObject* dict) {
        n_ = static_cast<std::size_t>(PyDict_GET_SIZE(dict));
        const bool few = n_ <= inline_size;
        if (!few) many_.resize(n_);
        Entry* const entries = data();
        Py_ssize_t pos = 0;
        PyObject *key, *item;
        // Nothing here runs code that could change the dict: after its size
        // in entries there are none left, and the call that would say so is
        // saved.
        std::size_t i = 0;
        for (; i < n_ && PyDict_Next(dict, &pos, &key, &item); ++i) {
            if (!PyUnicode_CheckExact(key)) return false;
            std::string_view text;
            if (!key_text(key, text)) {
                PyErr_Clear();
                return false;
            }
            // A few keys go into key order as they come (an insertion sort,
            // one comparison per key when they come in order); many are
            // sorted after.
            std::size_t j = i;
            if (few) {
                for (; j > 0 && key_before(text, entries[j - 1].text()); --j) entries[j] = entries[j - 1];
            }
            entries[j] = Entry{text.data(), text.size(), item};
        }
        if (i != n_) return false;
        if (!few) std::sort(entries, entries + n_, [](const Entry& a, const Entry& b) { return key_before(a.text(), b.text()); });
        return true;
    }

    std::size_t size() const { return n_; }
    const Entry& operator[](std::size_t i) const { return data()[i]; }

private:
    static constexpr std::size_t inline_size = 16;
    Entry* data() { return n_ > inline_size ? many_.data() : few_; }
    const Entry* data() const { return n_ > inline_size ? many_.data() : few_; }

    std::size_t n_ = 0;
    Entry few_[inline_size];
    std::vector<Entry> many_;
};

}  // namespace ostik::py
