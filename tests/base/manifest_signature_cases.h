#pragma once
// Signature files and their verdicts, shared by the native test (a stand-in
// verifier that knows the genuine signatures) and the Wine test (the product's
// CNG check over files), so the selection rules and the real verification are
// held to one table.
//
// The vectors were made with openssl from tests/fixtures/signing/test_key_a.pem
// and test_key_b.pem (test keys, see tests/fixtures/manifest_signing.py):
// key ids and points with `openssl pkey -pubout -outform DER`, values with
// `openssl dgst -sha256 -sign` over kManifest, converted from DER to r||s.

#include <string>
#include <vector>

#include "updater/base/hex_text.h"
#include "updater/base/manifest_keys.h"

namespace signature_cases {

inline const std::string kManifest =
    "[Root]\r\nVersionCount=2\r\nCurrentVersionNum=v200\r\nCurrentVersionTime=200\r\nver0=100\r\n"
    "ver1=200\r\n\r\n[200]\r\nFileCount=1\r\nFilePath0=\\a.dll\r\nFileUrl0=http://127.0.0.1/a.dll\r\n"
    "FileSha2560=2a3309b61d46e66937877d80deac17797e0afd0a367674308fb2a9c634c98e5e\r\n";

struct TestKey {
  const char* id;
  const char* xy;
  const char* value;  // its signature of kManifest
};

inline const TestKey kKeyA{"5187cce898e7960c",
                           "89670418f172df1ddc04132163ebd0856d243260e0c3ffae776bfe6f0f880a98"
                           "d1ceab6c8b1539a109819ae21a23d1c683272fe9a101d01ea648d9b59ebf8db5",
                           "ee9da508541986dc3e73db46731872fddc47b3a54e115e2eaccfd5746ff80703"
                           "36e6d434ccd499d083d88b838a23ce32951f4235bb46286c35c0340d3229e485"};
inline const TestKey kKeyB{"5c5a455904aa062b",
                           "54d9cf3ba4e704d5488d9eb32e5485a85bd367cbff3e95c5e6388c568c60536e"
                           "4dcaed879c25965cee3ec48b44d7cb8301f302a58fc02ada51b30605cfb875c7",
                           "cd1df3e34b01864123cc33d575fbd8fe7145f2c55985d02b80b0a7df077d4e5c"
                           "a52a60ca19d6f106340e07ba53ce89043203f8e7d7a7431e038bb13abf308f26"};

inline ManifestKey ToManifestKey(const TestKey& key) {
  ManifestKey out{};
  DecodeHex(key.id, HexLetters::LowerOnly, out.id.data(), out.id.size());
  DecodeHex(key.xy, HexLetters::LowerOnly, out.xy.data(), out.xy.size());
  return out;
}

// Flips one bit of the hex digit at position at.
inline std::string FlipDigitBit(std::string hex, std::size_t at) {
  const char digits[] = "0123456789abcdef";
  const int value = hex[at] <= '9' ? hex[at] - '0' : hex[at] - 'a' + 10;
  hex[at] = digits[value ^ 1];
  return hex;
}

inline std::string Section(int index, const std::string& algorithm, const std::string& keyId,
                           const std::string& value) {
  return "[Signature" + std::to_string(index) + "]\r\nAlgorithm=" + algorithm + "\r\nKeyId=" + keyId +
         "\r\nValue=" + value + "\r\n";
}

inline std::string Signed(int index, const TestKey& key) {
  return Section(index, "ECDSA-P256-SHA256", key.id, key.value);
}

// Comment lines that bring text to exactly size bytes (size - text >= 3).
inline std::string PaddedTo(std::string text, std::size_t size) {
  const std::size_t fill = size - text.size();
  return text + ";" + std::string(fill - 3, 'x') + "\r\n";
}

struct Case {
  const char* name;
  std::string text;                  // the signature file
  std::vector<const TestKey*> keys;  // built in
  bool manifestFlipped;              // one bit of kManifest flipped
  bool accepted;
};

inline std::vector<Case> Cases() {
  const std::string a = kKeyA.value;
  const std::string alg = "ECDSA-P256-SHA256";
  return {
      {"valid signature", Signed(0, kKeyA), {&kKeyA}, false, true},
      {"one bit of the manifest flipped", Signed(0, kKeyA), {&kKeyA}, true, false},
      {"one bit of r flipped", Section(0, alg, kKeyA.id, FlipDigitBit(a, 0)), {&kKeyA}, false, false},
      {"one bit of s flipped", Section(0, alg, kKeyA.id, FlipDigitBit(a, 127)), {&kKeyA}, false, false},
      {"one bit of the key id flipped",
       Section(0, alg, FlipDigitBit(kKeyA.id, 15), a),
       {&kKeyA},
       false,
       false},
      {"unknown key", Signed(0, kKeyB), {&kKeyA}, false, false},
      {"no key built in", Signed(0, kKeyA), {}, false, false},
      {"value cut by two digits", Section(0, alg, kKeyA.id, a.substr(0, 126)), {&kKeyA}, false, false},
      {"value two digits too long", Section(0, alg, kKeyA.id, a + "00"), {&kKeyA}, false, false},
      {"value with a non-hex digit", Section(0, alg, kKeyA.id, "g" + a.substr(1)), {&kKeyA}, false, false},
      {"value in capitals", Section(0, alg, kKeyA.id, "EE9DA5" + a.substr(6)), {&kKeyA}, false, true},
      {"key id in capitals", Section(0, alg, "5187CCE898E7960C", a), {&kKeyA}, false, false},
      {"another algorithm", Section(0, "ECDSA-P384-SHA384", kKeyA.id, a), {&kKeyA}, false, false},
      {"no algorithm", Section(0, "", kKeyA.id, a), {&kKeyA}, false, false},
      {"only the second section's key built in", Signed(0, kKeyB) + Signed(1, kKeyA), {&kKeyA}, false, true},
      {"either key built in", Signed(0, kKeyB), {&kKeyA, &kKeyB}, false, true},
      {"a broken section before a good one",
       Section(0, alg, kKeyA.id, FlipDigitBit(a, 5)) + Signed(1, kKeyA),
       {&kKeyA},
       false,
       true},
      {"fourth section", Signed(3, kKeyA), {&kKeyA}, false, true},
      {"fifth section is not read", Signed(4, kKeyA), {&kKeyA}, false, false},
      {"INI rules: spaces, quotes, letter case of names",
       "[ signature0 ]\r\n algorithm = ECDSA-P256-SHA256 \r\nKEYID='" + std::string(kKeyA.id) +
           "'\r\nvalue = \"" + a + "\"\r\n",
       {&kKeyA},
       false,
       true},
      {"first of two equal sections is read", Signed(0, kKeyB) + Signed(0, kKeyA), {&kKeyA}, false, false},
      {"empty file", "", {&kKeyA}, false, false},
      {"4096 bytes", PaddedTo(Signed(0, kKeyA), 4096), {&kKeyA}, false, true},
      {"4097 bytes", PaddedTo(Signed(0, kKeyA), 4097), {&kKeyA}, false, false},
      {"5 KiB", PaddedTo(Signed(0, kKeyA), 5120), {&kKeyA}, false, false},
  };
}

inline std::vector<ManifestKey> KeysOf(const Case& c) {
  std::vector<ManifestKey> keys;
  for (const TestKey* key : c.keys) keys.push_back(ToManifestKey(*key));
  return keys;
}

inline std::string ManifestOf(const Case& c) {
  std::string manifest = kManifest;
  if (c.manifestFlipped) manifest[20] ^= 0x08;
  return manifest;
}

}  // namespace signature_cases
