#pragma once
// The tests write their archives with the zip writer quarn-publish uses.
#include "tools/zip_writer/zip_writer.h"

namespace quarn::testzip {
using zipwriter::Crc32;
using zipwriter::Deflate;
using zipwriter::DeflateUncompressedBlocks;
using zipwriter::Entry;
using zipwriter::Patch16;
using zipwriter::Patch32;
using zipwriter::Read32;
using zipwriter::ZipWriter;
}  // namespace quarn::testzip
