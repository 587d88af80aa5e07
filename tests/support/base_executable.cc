#include "platform_support.h"
#include "test_support.h"

namespace testing_support {

Bytes BaseExecutable() {
  static const Bytes base = [] {
    Bytes own = ReadAll(OwnExecutable());
    // Windows maps the module, so it must be a real program: this one. The
    // stand-in only reads the file.
    if (own.size() > 2 && own[0] == 'M' && own[1] == 'Z') {
      own.resize(ImageEndOf(own));
      return own;
    }
    return MakePeImage(false, {0x400, 0x200});
  }();
  return base;
}

}  // namespace testing_support
