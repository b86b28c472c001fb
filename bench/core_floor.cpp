// The floor of a start-up: a program that does nothing but is linked to
// OpenCV's core, as roughgc is, and so loads and relocates what it loads.
#include <opencv2/core.hpp>

int main() { return cv::getNumberOfCPUs() > 0 ? 0 : 1; }
