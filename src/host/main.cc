#include <cstdio>

int main() {
  std::printf("Quillrade 0.59\n");
  return 0;
}
