#include "app/entry.h"

int main(int argc, char** argv) {
  return sentrel::RunSentrel(std::vector<std::string>(argv + 1, argv + argc));
}
