#pragma once

#include <QString>

// The program's wide string: UTF-16, reference-counted and copy-on-write. Signals and
// slots that carry it across threads name it "CAtlString", so that name is registered
// with the meta-type system before the first queued connection is made.
using CAtlString = QString;
