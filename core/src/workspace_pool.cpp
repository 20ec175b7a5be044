#include "workspace_pool.h"

#include <new>
#include <stdexcept>
#include <utility>

namespace tessalumen {

CoreResult<Workspace> WorkspacePool::take() {
    auto guard = lock_.lock();
    if (!guard) return fail_runtime(WORKSPACE_POOL_POISONED);
    if (idle_.empty()) return Workspace();
    Workspace workspace = std::move(idle_.back());
    idle_.pop_back();
    return workspace;
}

CoreStatus WorkspacePool::give_back(Workspace workspace) {
    // Decided before locking: large scratch memory is not pinned in the pool.
    if (!worth_retaining(workspace.retained_capacities())) return {};
    auto guard = lock_.lock();
    if (!guard) return fail_runtime(WORKSPACE_POOL_POISONED);
    if (idle_.size() >= IDLE_LIMIT) return {};
    try {
        idle_.reserve(IDLE_LIMIT);
    } catch (const std::bad_alloc&) {
        return {};  // keeping it is an optimisation; releasing it is always correct
    }
    idle_.push_back(std::move(workspace));
    return {};
}

CoreResult<std::size_t> WorkspacePool::idle_count() {
    auto guard = lock_.lock();
    if (!guard) return fail_runtime(WORKSPACE_POOL_POISONED);
    return idle_.size();
}

void WorkspacePool::fail_while_holding_for_testing() {
    try {
        auto guard = lock_.lock();
        throw std::logic_error("simulated internal failure while holding the workspace pool lock");
    } catch (const std::logic_error&) {
    }
}

}  // namespace tessalumen
