// Exceptions of the library. Failures are normally recorded as error codes;
// these carry the few fixed messages that travel as exceptions (stream read
// and write failures, the entropy coders' messages) until a format class
// turns them into a code.
#pragma once

#include <stdexcept>
#include <string>

namespace vex {

// Base of every exception the library raises.
class ImagingError : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

// The runtime's read-error exception (a stream that could not deliver).
class ReadError : public ImagingError {
public:
  ReadError() : ImagingError("Error reading data from file.") {}
  explicit ReadError(const std::string& message) : ImagingError(message) {}
};

// The runtime's write-error exception (a stream that did not accept all bytes).
class WriteError : public ImagingError {
public:
  WriteError() : ImagingError("Error writing data to file.") {}
  explicit WriteError(const std::string& message) : ImagingError(message) {}
};

// Data that ends before a reader has what it needs: readers that pull fixed
// fields through the format kit raise it instead of checking every count.
class EndOfFile : public ImagingError {
public:
  EndOfFile() : ImagingError("Unexpected end of file.") {}
};

// Exceptions of the JPEG entropy coders.
class EJPEGException : public ImagingError {
public:
  using ImagingError::ImagingError;
};

// Exceptions of the PNG and deflate coders.
class EPNGException : public ImagingError {
public:
  using ImagingError::ImagingError;
};

} // namespace vex
