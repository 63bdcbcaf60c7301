// The three standard descriptors, made sure of before a program opens
// anything.
#ifndef TARNEL_BASE_STANDARD_DESCRIPTORS_H_
#define TARNEL_BASE_STANDARD_DESCRIPTORS_H_

namespace tarnel {

/// Opens /dev/null on each of the descriptors 0, 1 and 2 that is closed,
/// and leaves the open ones as they are. A program started with one of them
/// closed would otherwise get its first opened file (the cable file, the
/// port device, a file it downloads) at that number, and its console text
/// or messages would be written into that file. Call it first thing in
/// main(), before anything is opened. False (errno set) when /dev/null
/// cannot be opened; the program cannot run safely then.
bool open_standard_descriptors();

}  // namespace tarnel

#endif  // TARNEL_BASE_STANDARD_DESCRIPTORS_H_
