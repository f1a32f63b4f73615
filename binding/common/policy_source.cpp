#include "policy_source.hpp"

#include <string>

#include "args.hpp"
#include "ostik/policy_loader.hpp"
#include "util.hpp"

namespace ostik::py {

std::optional<Policy> load_policy_argument(PyObject* path_obj, std::vector<IgnoredKey>* ignored_keys,
                                           std::vector<NodeMark>* constraint_marks, Language language) {
    if (!PyUnicode_Check(path_obj)) {
        raise_cannot_convert("path", path_obj, "PyString");
        return std::nullopt;
    }
    Py_ssize_t len = 0;
    const char* path = PyUnicode_AsUTF8AndSize(path_obj, &len);
    if (!path) return std::nullopt;
    auto loaded = load_policy_file(std::string(path, static_cast<std::size_t>(len)), ignored_keys, constraint_marks, language);
    if (!loaded) {
        set_error(loaded.error().kind == LoadError::Kind::read ? PyExc_FileNotFoundError : PyExc_ValueError,
                  loaded.error().message);
        return std::nullopt;
    }
    return std::move(*loaded);
}

}  // namespace ostik::py
