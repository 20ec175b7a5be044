#pragma once
// The Python `Pipeline` class: a compiled pipeline, its target routes, its
// seed, the call-key sequence and the pool of idle workspaces.

#include <cstdint>
#include <vector>

#include "core/src/engine.h"
#include "core/src/poisonable_lock.h"
#include "core/src/workspace_pool.h"
#include "py_ref.h"
#include "target_route.h"

namespace tessalumen::py {

inline constexpr std::string_view SEQUENCE_LOCK_POISONED = "pipeline sequence lock is poisoned";

// Everything but `next_key` and the pool is fixed at construction and read
// without locking by concurrent calls. Lock order: the sequence lock before
// the pool lock.
struct PipelineState {
    PipelineState(CompiledPipeline compiled, std::vector<TargetRoute> routes, std::uint64_t seed,
                  std::uint64_t next_key)
        : compiled(std::move(compiled)), routes(std::move(routes)), seed(seed), next_key(next_key) {}

    const CompiledPipeline compiled;
    const std::vector<TargetRoute> routes;  // one per target, in declaration order
    const std::uint64_t seed;
    // Held by every call without an explicit key for its whole native part,
    // so that such calls consume keys strictly in order.
    PoisonableLock sequence_lock;
    std::uint64_t next_key;  // guarded by sequence_lock
    WorkspacePool workspaces;
};

struct PyPipeline {
    PyObject_HEAD
    PipelineState* state;  // owned; never null for a constructed object
};

// Creates the class (once, at module initialisation).
[[nodiscard]] PyResult<PyRef> make_pipeline_type();

}  // namespace tessalumen::py
