// The code of a Windows executable, found from its PE headers: what the
// code transform of apply/code_transform.h works on.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "apply/code_transform.h"

struct CodeLayout {
  uint32_t kind = kTransformNone;  // by the image's machine: x86 or x64
  uint32_t imageSize = 0;          // SizeOfImage: every address lies below
  std::vector<CodeRange> ranges;   // the sections that hold code, in order
};

// The layout of a PE image of machine x86 (0x14C) or x64 (0x8664) with at
// least one code section; kind kTransformNone for anything else, headers
// cut short or out of bounds included. Sections are clipped to the file,
// and one that overlaps the one before it is left out.
CodeLayout FindCode(const uint8_t* data, size_t size);

// The transform that both files can take, and its parameters as the
// instruction block stores them: none (and no bytes) unless both are images
// of the same machine with code.
uint32_t SharedTransform(const CodeLayout& old, const CodeLayout& target,
                         std::vector<uint8_t>* parameters,
                         TransformParameters* parsed);
