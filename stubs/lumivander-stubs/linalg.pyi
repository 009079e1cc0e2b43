# Filled in as the submodule gains members.
