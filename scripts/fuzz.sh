#!/usr/bin/env bash
# Placeholder: the saved-fit loader's fuzz run is added with the saved-fit format.
exit 0
