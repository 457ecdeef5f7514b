// lifecycle.h -- library initialisation and shutdown behind the exports
// QZIfInitialize and QZIfUninitialize.
//
// Initialize maps the message module from the directory of the module that
// holds this code (libqzcsif.so; a test executable for static builds) and
// keeps it mapped while initialised. Uninitialize unmaps it and ends the
// session in the slot, whether or not Initialize was called.
//
// Thread-safety: Initialize and Uninitialize serialise on one mutex.
#ifndef QZ_EXPORTS_LIFECYCLE_H_
#define QZ_EXPORTS_LIFECYCLE_H_

#include <cstdint>

namespace qz::exports {

// 0 on success or when already initialised; otherwise the Win32 code of
// the failed load (2 when the module is missing); then not initialised.
uint32_t Initialize();
// Always 0.
uint32_t Uninitialize();
bool IsInitialized();

}  // namespace qz::exports

#endif  // QZ_EXPORTS_LIFECYCLE_H_
