#include "host/raised_error.h"

#include <utility>

namespace parcelmoor {

RaisedError::RaisedError(int32_t number, std::string source, std::string description)
    : number_(number), source_(std::move(source)), description_(std::move(description)) {
  what_ = std::to_string(number_) + " (" + source_ + "): " + description_;
}

void Raise(int32_t number, std::string source, std::string description) {
  throw RaisedError(number, std::move(source), std::move(description));
}

}  // namespace parcelmoor
