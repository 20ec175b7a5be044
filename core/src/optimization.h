#pragma once
// Lowering: how every step of a pipeline touches memory, decided once per
// channel variant at compile time. The engine follows three decisions (the
// elided entry copy of compiled mode, the direct single-Normalize path and the
// composed colour matrix of 3-channel ColorJitter); the rest describes what
// the step loop does anyway and feeds the execution explanation.

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "error.h"
#include "execution_mode.h"
#include "plan.h"

namespace tessalumen {

enum class KernelForm : std::uint8_t {
    BorrowedToOwned = 0,  // reads the caller's input, writes a new owned raster
    OwnedToOwned = 1,     // reads the working raster, writes a new owned raster
    OwnedInPlace = 2,     // modifies the working raster in place
};

enum class InputMaterialization : std::uint8_t {
    BorrowedInput = 0,   // the step reads the caller's input
    OwnedInputCopy = 1,  // the first step reads the copy made at entry
    PreviousOutput = 2,  // the step reads the raster the step before left
};

// Output slots; codes 0 to 5 double as the workspace scratch slot codes.
enum class OutputSlot : std::uint8_t {
    WorkingU8 = 0,
    ScratchU8 = 1,
    BlurTemp = 2,
    NoiseF32Block = 3,
    AxisRemap = 4,
    OutputF32Hwc = 5,
    OutputF32HwcOrWorkingU8 = 6,
};

[[nodiscard]] std::string_view kernel_form_text(KernelForm form);
[[nodiscard]] std::string_view input_materialization_text(InputMaterialization input);
[[nodiscard]] std::string_view output_slot_text(OutputSlot slot);

enum class ShapeRule : std::uint8_t {
    SameAsInput = 0,
    FixedByConfiguration = 1,
    ComputedFromInput = 2,
    FloatOutput = 3,
};

enum class OperationClass : std::uint8_t {
    IndexOrPoint = 0,
    ResamplingOrConvolution = 1,
    CoordinateRemapping = 2,
    MultiStageColor = 3,
};

struct LoweringNode {
    std::vector<OutputSlot> scratch_slots;  // empty or one slot
    std::span<const KernelForm> legal_forms;
    ShapeRule shape_rule;
    OperationClass operation_class;
    std::string_view selection_reason;
    std::optional<std::string_view> kernel_name;
    InputMaterialization input_materialization;
    KernelForm kernel_form;
    OutputSlot output_slot;
};

struct LoweringPlan {
    std::vector<LoweringNode> nodes;  // one per step
    std::string_view entry_copy_count;      // "1", "0" or "0-or-1"
    std::string_view entry_copy_condition;  // "always", "always-elided" or "sample-dependent"
    bool input_copy_elided;
    std::uint64_t borrowed_prefix;  // 0 or 1 leading steps that may read the caller's input

    [[nodiscard]] static CoreResult<LoweringPlan> compile_channels(std::span<const TransformPlan> plans,
                                                                   ExecutionMode mode, std::uint64_t channels);
};

}  // namespace tessalumen
