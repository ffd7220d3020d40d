// The decode module is being written.
namespace decode_placeholder {}
