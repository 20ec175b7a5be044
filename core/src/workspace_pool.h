#pragma once
// The idle workspaces of one pipeline. A call takes one workspace for its
// whole run and hands it back afterwards, so consecutive calls reuse memory;
// concurrent calls each get their own. The lock is held only to take or
// return a workspace, never while images are processed.

#include <cstddef>
#include <vector>

#include "error.h"
#include "poisonable_lock.h"
#include "workspace.h"

namespace tessalumen {

inline constexpr std::string_view WORKSPACE_POOL_POISONED = "workspace pool poisoned";

class WorkspacePool {
public:
    // At most this many idle workspaces are kept; more concurrent calls than
    // that simply release theirs when they finish.
    static constexpr std::size_t IDLE_LIMIT = 8;

    // The most recently returned idle workspace, or a new one.
    [[nodiscard]] CoreResult<Workspace> take();

    // Returns the workspace after a call, whether the call succeeded or not.
    // It is released instead when it retains more than the retention limit
    // or when the pool is full. Fails only when the pool is poisoned (the
    // workspace is released and the call's results must be discarded).
    [[nodiscard]] CoreStatus give_back(Workspace workspace);

    // The number of idle workspaces, or an error when poisoned.
    [[nodiscard]] CoreResult<std::size_t> idle_count();

    // Simulates an internal failure of a holder of the pool lock, so that
    // tests can reach the poisoned state through the same path a real
    // failure takes.
    void fail_while_holding_for_testing();

private:
    PoisonableLock lock_;
    std::vector<Workspace> idle_;  // the last entry is the most recently returned
};

}  // namespace tessalumen
