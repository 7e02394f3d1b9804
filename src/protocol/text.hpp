// Text fields of replies and block files, decoded to UTF-8.
//
// Codes in replies are lossy UTF-8. Names (and everything in block files) follow the WHATWG
// decode algorithm: a byte-order mark picks UTF-8, UTF-16LE or UTF-16BE, otherwise the field is
// GBK, decoded the way browsers decode it (the gb18030 decoder: four-byte sequences decode and a
// lone 0x80 is the euro sign). Malformed input always becomes U+FFFD, never an error.
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace quotix {

using TextBytes = std::span<const uint8_t>;

// UTF-8 with each maximal invalid subpart replaced by U+FFFD.
std::string decode_utf8_lossy(TextBytes bytes);
// UTF-16 without byte-order-mark handling; unpaired surrogates and an odd last byte become U+FFFD.
std::string decode_utf16le(TextBytes bytes);
std::string decode_utf16be(TextBytes bytes);
// The gb18030 decoder used for the "gbk" label.
std::string decode_gbk(TextBytes bytes);
// Byte-order-mark sniffing (EF BB BF, FF FE, FE FF; the mark itself dropped), else GBK.
std::string decode_bom_or_gbk(TextBytes bytes);

// Removes trailing U+0000 characters.
void trim_trailing_nuls(std::string& text);

// A security code in a reply: lossy UTF-8, trailing NULs removed.
std::string decode_reply_code(TextBytes bytes);
// A name in a reply, or a name or code in a block file: sniffed or GBK, trailing NULs removed.
std::string decode_name_text(TextBytes bytes);

}  // namespace quotix
