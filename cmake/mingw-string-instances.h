// Force-included into every C++ source of the Windows builds that clang and lld link: the
// std::string members are instantiated in the program's own objects instead of being taken from
// the static libstdc++.
//
// Why: libstdc++'s objects come from gcc, whose unwind table entries (.pdata$NAME) for template
// instances carry no section symbol, and lld only keeps such an entry when it can tie it to its
// function through that symbol. Every std::string member taken from libstdc++ was therefore
// linked without unwind information: a C++ exception thrown inside one (std::bad_alloc when a
// string grows and memory has run out) could not be unwound, so no handler of the plug-in caught
// it, and Windows ended the host's process or refused the DLL's load. Instances that clang makes
// carry unwind entries that lld keeps, and they take the place of libstdc++'s.
//
// libstdc++'s own switch: -1 drops the explicit instantiation declarations of basic_string only.
#pragma once

#include <bits/c++config.h>

#undef _GLIBCXX_EXTERN_TEMPLATE
#define _GLIBCXX_EXTERN_TEMPLATE -1
