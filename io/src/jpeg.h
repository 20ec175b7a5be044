#pragma once
// JPEG decoding and encoding through libjpeg-turbo, with one reusable
// decompressor and one compressor per thread.

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "error.h"
#include "model.h"

namespace tessalumen::io::jpeg {

// A file with more scans than this fails to decode: every scan of a
// progressive file costs a pass over the whole coefficient buffer.
inline constexpr int SCAN_LIMIT = 100;

[[nodiscard]] CodecResult<DecodedImage> decode(std::span<const std::uint8_t> data,
                                               const DecodeOptions& options);

// Encodes a validated view: sequential, standard Huffman tables, accurate
// integer DCT, 4:2:0 for RGB and one component for gray.
[[nodiscard]] CodecResult<std::vector<std::uint8_t>> encode(const ImageView& view,
                                                            std::uint8_t quality);

// Turn the JPEG library's text for a failure into a CodecError:
// "TurboJPEG error: {text}".
[[nodiscard]] CodecError map_decode_error(std::string_view library_text);
[[nodiscard]] CodecError map_encode_error(std::string_view library_text);

// This thread's handle slots, for diagnostics and tests: the handle's address
// (null while the slot is empty) and the in-use mark.
struct SlotState {
    const void* handle;
    bool in_use;
};
[[nodiscard]] SlotState decoder_slot() noexcept;
[[nodiscard]] SlotState encoder_slot() noexcept;

// Marks this thread's decoder or encoder slot in use for its lifetime, as a
// running call does; a call on the same thread meanwhile is refused.
class SlotHold {
public:
    enum class Slot : std::uint8_t { Decoder, Encoder };
    explicit SlotHold(Slot slot) noexcept;
    ~SlotHold();
    SlotHold(const SlotHold&) = delete;
    SlotHold& operator=(const SlotHold&) = delete;
    // False when the slot was already in use; the hold then does nothing.
    [[nodiscard]] bool held() const noexcept { return held_; }

private:
    Slot slot_;
    bool held_;
};

}  // namespace tessalumen::io::jpeg
