#pragma once
// The names a PE image exports, read from its bytes without the loader.
//
// The pipeline checks that an installed .dll or .ocx is a self-registering COM
// server before it starts regsvr32. Loading the library for that would run its
// start-up code inside the updater, where a broken or hostile library could
// crash or hang the installation half-way; reading the export table from a
// mapping that the loader does not initialise runs nothing.
//
// Every offset read from the image is checked against its size, so any bytes
// at all give either the names or false.

#include <cstddef>
#include <string>
#include <vector>

namespace pe_exports {

enum class Layout {
  Image,  // sections at their virtual addresses (an image mapping)
  File,   // sections at their raw file offsets (the file's bytes)
};

// Fills names with the export names of the image (in table order; empty when
// it exports nothing by name). False when the bytes are not a PE image or a
// table lies outside them.
bool ReadExportNames(const unsigned char* data, std::size_t size, Layout layout,
                     std::vector<std::string>& names);

}  // namespace pe_exports
