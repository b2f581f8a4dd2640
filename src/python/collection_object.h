#pragma once
// The Python class Collection: one shared handle to a collection core.
#include <Python.h>

#include "collection/collection.h"

namespace tessello::py {

// A new Collection object holding its own share of core, or null with an
// exception set.
PyObject* new_collection_object(CollectionHandle core);

}  // namespace tessello::py
