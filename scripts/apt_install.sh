# Sourced by the scripts: installs the named Debian packages; nothing to do
# without names.
apt_install() {
  [ $# -gt 0 ] || return 0
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$@"
}
