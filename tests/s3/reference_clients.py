"""Command lines and environments for the reference S3 clients (Debian's awscli and rclone)."""

import os
import shutil

AWS = "/usr/bin/aws" if os.path.exists("/usr/bin/aws") else shutil.which("aws") or "aws"
RCLONE = shutil.which("rclone") or "rclone"


def _clean_env():
    """The environment without settings of either client (a CA bundle breaks rclone's HTTP)."""
    return {k: v for k, v in os.environ.items() if not k.startswith(("AWS_", "RCLONE_"))}


def aws_env(gateway, creds=None):
    """Environment for `aws --endpoint-url ENDPOINT s3 ...` with the user's or CREDS' keys."""
    c = creds or gateway
    env = dict(_clean_env(), AWS_ACCESS_KEY_ID=c["access_key_id"],
               AWS_SECRET_ACCESS_KEY=c["secret_access_key"], AWS_DEFAULT_REGION=gateway["region"],
               AWS_EC2_METADATA_DISABLED="true", AWS_CONFIG_FILE="/dev/null",
               AWS_SHARED_CREDENTIALS_FILE="/dev/null", AWS_PAGER="")
    if c.get("session_token"):
        env["AWS_SESSION_TOKEN"] = c["session_token"]
    return env


def aws(gateway, *args):
    return [AWS, "--endpoint-url", gateway["endpoint"], "--only-show-errors"] + list(args)


def rclone_env(gateway, creds=None):
    """Environment in which the remote "gw:" is the gateway, with the user's or CREDS' keys.
    The bucket exists: rclone does not try to create it (which temporary credentials may not)."""
    c = creds or gateway
    env = _clean_env()
    env.update(RCLONE_CONFIG="/dev/null", RCLONE_CONFIG_GW_TYPE="s3",
               RCLONE_CONFIG_GW_PROVIDER="Ceph", RCLONE_CONFIG_GW_ENDPOINT=gateway["endpoint"],
               RCLONE_CONFIG_GW_REGION=gateway["region"], RCLONE_CONFIG_GW_NO_CHECK_BUCKET="true",
               RCLONE_CONFIG_GW_ACCESS_KEY_ID=c["access_key_id"],
               RCLONE_CONFIG_GW_SECRET_ACCESS_KEY=c["secret_access_key"])
    if c.get("session_token"):
        env["RCLONE_CONFIG_GW_SESSION_TOKEN"] = c["session_token"]
    return env
