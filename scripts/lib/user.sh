# Sourced first by the README's commands and their kin, before they change
# directory. Run through sudo, they install what is missing as root and then
# do the rest as the user who ran sudo, so that no file in the tree ends up
# owned by root and the next build by that user does not fail.
if [ "$(id -u)" -eq 0 ] && [ -n "${SUDO_UID:-}" ] && [ "$SUDO_UID" != 0 ]; then
  self=$(realpath "$0")
  "$(dirname "$self")/install-deps"
  HOME=$(getent passwd "$SUDO_UID" | cut -d: -f6) USER=$SUDO_USER LOGNAME=$SUDO_USER \
    exec setpriv --reuid="$SUDO_UID" --regid="$SUDO_GID" --init-groups -- "$self" "$@"
fi
