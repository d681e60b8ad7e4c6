#pragma once

#include <string>

namespace sentrel {

// What is wrong with the form of the text the ping and port checks reach a server at, or
// nothing when it is an address of either family or a host name. Only the form is
// judged: no name is looked up. worksAnyway: the checks still reach the address.
struct AddressForm {
  std::string problem;
  std::string hint;
  bool worksAnyway = false;
};

AddressForm JudgeAddress(const std::string& text);

}  // namespace sentrel
