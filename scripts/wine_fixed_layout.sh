#!/bin/sh
# wine64 with address-space randomisation off (see scripts/wine.sh): the same
# layout on every start, so no start collides with the addresses Wine needs.
exec setarch "$(uname -m)" -R /usr/lib/wine/wine64 "$@"
