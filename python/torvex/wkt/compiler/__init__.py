"""google/protobuf/compiler/*.proto as torvex modules."""
