#pragma once
// Hexadecimal text of byte strings: key ids, signatures and SHA-256 digests.

#include <cstddef>
#include <string>

enum class HexLetters { LowerOnly, AnyCase };

// Decodes text, which must be exactly 2 * size hexadecimal digits and nothing
// else (no sign, space or prefix), into out[0..size). False otherwise, with
// out in an unspecified state.
bool DecodeHex(const std::string& text, HexLetters letters, unsigned char* out, std::size_t size);

// Two lowercase digits per byte, byte 0 first.
std::string EncodeHex(const unsigned char* data, std::size_t size);
