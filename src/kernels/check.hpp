// Conventions every kernel follows.
//
// Errors: a kernel that can fail returns (or fills) an error enum whose
// `none` value means success, and offers a text function for developers
// (sun/spa.hpp: SpaError and spa_error_text). The bindings map the enum to
// the wording users see; kernels hold no user-facing messages.
//
// Invariants: QM_DCHECK(condition) states an invariant that no input can
// break (a traversal's stack depth, an index inside its array). It is checked
// in the sanitizer build (QM_DEBUG_CHECKS, set by QUILLMERE_SANITIZE), where a
// failure prints the condition and aborts, and costs nothing elsewhere.
#pragma once

namespace qm {
[[noreturn]] void debug_check_failed(const char* condition, const char* file, int line) noexcept;
}  // namespace qm

#if defined(QM_DEBUG_CHECKS)
#define QM_DCHECK(condition) \
    ((condition) ? static_cast<void>(0) : ::qm::debug_check_failed(#condition, __FILE__, __LINE__))
#else
#define QM_DCHECK(condition) static_cast<void>(0)
#endif
