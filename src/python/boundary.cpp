#include "python/boundary.h"

#include <exception>
#include <new>
#include <stdexcept>

namespace tessello::py {

void raise_current_exception(PyObject* own_class) noexcept {
    try {
        throw;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::length_error&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_SetString(own_class, e.what());
    } catch (...) {
        PyErr_SetString(own_class, "unexpected C++ exception");
    }
}

}  // namespace tessello::py
