/* The shared library is assembled from the internal static library with
   --whole-archive; CMake needs at least one source of its own. */
typedef int yq_export_anchor_unused;
