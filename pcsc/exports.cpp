// The shared library's own source: everything comes from quor_pcsc, whose IFDH* functions
// the version script exports.
