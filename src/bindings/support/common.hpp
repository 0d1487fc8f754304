// The binding support layer, in one include: host errors (errors.hpp),
// typed attributes and arguments (attributes.hpp), dict access and the record
// cache (dicts.hpp), interned keys (keys.hpp), the garbage collector's slots
// (gc_slots.hpp) and host I/O (host_io.hpp).
#pragma once
#include "bindings/support/attributes.hpp"
#include "bindings/support/dicts.hpp"
#include "bindings/support/errors.hpp"
#include "bindings/support/gc_slots.hpp"
#include "bindings/support/host_io.hpp"
#include "bindings/support/keys.hpp"
