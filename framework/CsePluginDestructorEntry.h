// SPDX-License-Identifier: Apache-2.0
// Slot 38, the destructor's entry in the table of virtual functions, in the form each platform's
// host expects. Every concrete plug-in class declares its destructor with this macro:
//
//     CSE_PLUGIN_DESTRUCTOR(QXCsePlugin);            // or ... = default;  or ... { ... }
//
// On GCC's own C++ ABI the destructor is an ordinary virtual one (two table entries there). A
// 32-bit Windows host calls slot 38 as a scalar deleting destructor: one entry, flags argument,
// bit 0 set frees the memory, the object pointer comes back. The base class cannot run a derived
// destructor from its own entry, so each concrete class overrides the entry here.
#pragma once

#if defined(_WIN32)
#define CSE_PLUGIN_DESTRUCTOR(Class)                                                     \
    ::CsePluginInterface::CsePlugin* scalarDeletingDestructor(unsigned flags) override { \
        ::CsePluginInterface::CsePlugin* const object = this;                            \
        void* const memory = this;                                                       \
        this->~Class();                                                                  \
        if ((flags & 1u) != 0) ::operator delete(memory);                                \
        return object;                                                                   \
    }                                                                                    \
    ~Class()
#else
#define CSE_PLUGIN_DESTRUCTOR(Class) ~Class() override
#endif
