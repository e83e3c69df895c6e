#include <cstdio>

int main() {
  std::printf("measurement layers example\n");
  return 0;
}
