#include "platform/file_stat.h"

const CFileStat& SystemFileStat() {
  static const CFileStat stat;
  return stat;
}
