// The program of a layer check (see cmake/layers.cmake).  It is linked and
// never run: the layer's objects come in whole, and the link succeeds only
// when everything they call lies in the layer or beneath it.
int main() { return 0; }
