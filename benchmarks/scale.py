def run_scale(args):
    raise NotImplementedError
